#pragma once
// Turning bytes of unknown quality into UTF-8 text. Stateless; any thread.

#include <string>
#include <string_view>

namespace Quillmark::Common {

// True when the text is well-formed UTF-8 throughout.
bool IsValidUtf8(std::string_view text) noexcept;
// The text with each ill-formed UTF-8 part replaced by U+FFFD.
std::string ToValidUtf8(std::string_view text);
// A whole text file's bytes as UTF-8: UTF-8 unless a leading byte-order mark names UTF-16 or
// UTF-32 (either byte order); the mark itself is dropped, ill-formed parts become U+FFFD.
std::string DecodeTextFile(std::string_view bytes);

}  // namespace Quillmark::Common
