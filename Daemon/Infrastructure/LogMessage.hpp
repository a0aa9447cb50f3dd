#pragma once

#include <cstddef>
#include <exception>
#include <string>
#include <string_view>

namespace Quillmark::Daemon::Infrastructure {

// What a log line says: a text, a failure (written with its full description), or nothing, as
// well-formed UTF-8. A text longer than MaxTextBytes is cut at a character boundary and
// followed by the marker "... [truncated: N bytes in all]", N being the length as given, so
// that a client's text (a file name of megabytes) cannot swell a line and the log ring with it.
class LogMessage {
public:
    // Room for a failure's description with its call stack (1 to 3 KiB as a rule; a deeper
    // one loses its outermost frames here, the crash report keeps its own copy); not for a
    // client's text.
    static constexpr std::size_t MaxTextBytes = 8192;

    LogMessage() = default;
    LogMessage(std::nullptr_t) {}
    LogMessage(std::string_view text);
    LogMessage(const std::string& text) : LogMessage(std::string_view(text)) {}
    LogMessage(const char* text) : LogMessage(std::string_view(text ? text : "")) {}
    LogMessage(const std::exception_ptr& failure);
    LogMessage(const std::exception& failure);

    // The message part of the line.
    const std::string& Text() const noexcept { return text_; }

private:
    std::string text_;
};

}  // namespace Quillmark::Daemon::Infrastructure
