#include "Platform/Process/ConsoleText.hpp"

#include "Platform/Windows/Win32.hpp"

#include <charconv>
#include <climits>

namespace Quillmark::Platform::Process {

std::string ConsoleText::OutputCodeset() {
    // A process without a console is answered 0: the system's ANSI code page applies then.
    UINT page = ::GetConsoleOutputCP();
    if (page == 0) page = ::GetACP();
    return std::to_string(page);
}

std::optional<std::string> ConsoleText::ConvertToUtf8(std::span<const std::uint8_t> bytes, std::string_view codeset) {
    UINT page = CP_UTF8;
    if (!IsUtf8(codeset)) {
        const auto* end = codeset.data() + codeset.size();
        const auto [stop, error] = std::from_chars(codeset.data(), end, page);
        if (error != std::errc() || stop != end || !::IsValidCodePage(page)) return std::nullopt;
    }
    std::wstring wide;
    // The system counts in int: output beyond that is converted piece by piece (a character
    // split at a piece's end turns into replacement characters).
    constexpr std::size_t Piece = INT_MAX / 2;
    while (!bytes.empty()) {
        const auto piece = bytes.first(bytes.size() < Piece ? bytes.size() : Piece);
        const auto* text = reinterpret_cast<const char*>(piece.data());
        const int length = static_cast<int>(piece.size());
        const int needed = ::MultiByteToWideChar(page, 0, text, length, nullptr, 0);
        if (needed == 0) return std::nullopt;
        const auto offset = wide.size();
        wide.resize(offset + static_cast<std::size_t>(needed));
        ::MultiByteToWideChar(page, 0, text, length, wide.data() + offset, needed);
        bytes = bytes.subspan(piece.size());
    }
    return Windows::Narrow(wide);
}

}  // namespace Quillmark::Platform::Process
