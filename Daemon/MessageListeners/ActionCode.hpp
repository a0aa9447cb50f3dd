#pragma once

#include <cstdint>
#include <limits>

namespace Quillmark::Daemon::MessageListeners::ActionCode {

inline constexpr std::int32_t Ping = 0;
inline constexpr std::int32_t ReceiveFile = 1;
inline constexpr std::int32_t SendFile = 2;
inline constexpr std::int32_t Sign = 3;
inline constexpr std::int32_t CheckVersion = 4;
inline constexpr std::int32_t ForceExit = std::numeric_limits<std::int32_t>::max();

}  // namespace Quillmark::Daemon::MessageListeners::ActionCode
