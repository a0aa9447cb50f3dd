#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace Quillmark::Daemon::Models {

// The one request and reply record of every transport.
struct Message {
    std::optional<std::string> ErrorMessage;  // "errorMessage"; left out when null
    std::optional<std::string> Data;          // "data"; left out when null
    std::int32_t _action = 0;                 // "action"
    std::int32_t _errorCode = 0;              // "errorCode"

    bool operator==(const Message&) const = default;
};

}  // namespace Quillmark::Daemon::Models
