#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace Quillmark::Daemon::Infrastructure {

// What a log line says: a text, a failure (written with its full description), or nothing.
class LogMessage {
public:
    LogMessage() = default;
    LogMessage(std::nullptr_t) {}
    LogMessage(std::string text) : text_(std::move(text)) {}
    LogMessage(std::string_view text) : text_(text) {}
    LogMessage(const char* text) : text_(text ? text : "") {}
    LogMessage(const std::exception_ptr& failure);
    LogMessage(const std::exception& failure);

    // The message part of the line.
    const std::string& Text() const noexcept { return text_; }

private:
    std::string text_;
};

}  // namespace Quillmark::Daemon::Infrastructure
