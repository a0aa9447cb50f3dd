#pragma once

#include "Daemon/Models/Message.hpp"

#include <cstdint>
#include <string>

namespace Quillmark::Tests {

// A normal reply: the action code and its data, error code 0.
inline Daemon::Models::Message Reply(std::int32_t action, std::string data) {
    Daemon::Models::Message m;
    m._action = action;
    m.Data = std::move(data);
    return m;
}

}  // namespace Quillmark::Tests
