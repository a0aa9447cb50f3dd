#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Quillmark::Daemon {

// What the daemon's arguments ask for. Flags only accumulate over the arguments; the port is
// set by each "start-ws" launch URL whose "port" is valid, so the last such one wins.
struct CommandLine {
    static constexpr std::uint16_t DefaultWebSocketPort = 60211;

    bool NativeMessaging = false;
    bool WebSocket = false;
    bool CustomUrlProtocol = false;
    std::uint16_t Port = DefaultWebSocketPort;

    // Reads the arguments (without the program's own path). A "quillmark://" argument that is
    // not a valid absolute URL is a FormatFailure, and the arguments after it are not read.
    static CommandLine Read(const std::vector<std::string>& args);

    // The decoded value of a query parameter in a query text (one leading "?" skipped), its name
    // matched with letter case ignored and the values of a repeated name joined by ",";
    // nothing when the name does not occur.
    static std::optional<std::string> QueryParameter(std::string_view encodedQuery, std::string_view name);

    bool operator==(const CommandLine&) const = default;
};

}  // namespace Quillmark::Daemon
