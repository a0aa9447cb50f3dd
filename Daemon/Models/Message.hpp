#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace Quillmark::Daemon::Models {

// The one request and reply record of every transport.
struct Message {
    std::optional<std::string> ErrorMessage;  // "errorMessage"; left out when null
    std::optional<std::string> Data;          // "data"; left out when null
    std::int32_t _action = 0;                 // "action"
    std::int32_t _errorCode = 0;              // "errorCode"
    // Not a member on the wire: the message's JSON text, made beforehand off the loop for a
    // reply too large to encode on it in good time. It must be what the members above encode to;
    // connections send it instead of encoding them.
    std::shared_ptr<const std::string> Encoded;

    bool operator==(const Message& other) const {
        return ErrorMessage == other.ErrorMessage && Data == other.Data && _action == other._action &&
               _errorCode == other._errorCode;
    }
};

}  // namespace Quillmark::Daemon::Models
