#include "Daemon/CommandLine.hpp"

#include "Platform/Failure.hpp"

#include <gtest/gtest.h>

using Quillmark::Daemon::CommandLine;

namespace {

struct Expect {
    bool native = false, webSocket = false, custom = false;
    std::uint16_t port = 60211;
};

struct Case {
    std::vector<std::string> args;
    Expect expect;
};

}  // namespace

TEST(CommandLine, ChoosesFlagsAndPort) {
    const Case cases[] = {
        {{}, {}},
        {{"quillmark://start-ws"}, {.webSocket = true}},
        {{"quillmark://start-ws/"}, {.webSocket = true}},
        {{"quillmark://start-ws?port=8080"}, {.webSocket = true, .port = 8080}},
        {{"QUILLMARK://START-WS?PORT=8080"}, {.webSocket = true, .port = 8080}},
        {{"QuillMark://Start-Ws/some/path?Port=8080#frag"}, {.webSocket = true, .port = 8080}},
        // The authority's port is not the WebSocket port.
        {{"quillmark://start-ws:8080"}, {.webSocket = true}},
        {{"quillmark://user@start-ws:9/x?port=1234"}, {.webSocket = true, .port = 1234}},
        {{"quillmark://start-ws:65535?port=1234"}, {.webSocket = true, .port = 1234}},
        {{"quillmark://start-ws:0000000000000080"}, {.webSocket = true}},
        {{"quillmark://start-ws:"}, {.webSocket = true}},
        {{"quillmark://start-ws:/?port=5"}, {.webSocket = true, .port = 5}},
        {{"quillmark://start-ws/a:b?port=5"}, {.webSocket = true, .port = 5}},
        {{"quillmark://[::1]:80/?port=5"}, {}},
        {{"quillmark://start-ws?port="}, {.webSocket = true}},
        {{"quillmark://start-ws?port=abc"}, {.webSocket = true}},
        {{"quillmark://start-ws?port=65536"}, {.webSocket = true}},
        {{"quillmark://start-ws?port=65535"}, {.webSocket = true, .port = 65535}},
        {{"quillmark://start-ws?port=0"}, {.webSocket = true, .port = 0}},
        {{"quillmark://start-ws?port=-1"}, {.webSocket = true}},
        {{"quillmark://start-ws?port=-0"}, {.webSocket = true, .port = 0}},
        {{"quillmark://start-ws?port=8080&port=8081"}, {.webSocket = true}},
        {{"quillmark://start-ws?port=8080&PORT=8080"}, {.webSocket = true}},
        {{"quillmark://start-ws?port"}, {.webSocket = true}},
        // Only the query's own "?" is skipped: the name here is "?port".
        {{"quillmark://start-ws??port=8080"}, {.webSocket = true}},
        {{"quillmark://start-ws?&port=8080"}, {.webSocket = true, .port = 8080}},
        {{"quillmark://start-ws?a=1&port=8080&b"}, {.webSocket = true, .port = 8080}},
        {{"quillmark://start-ws?p%6Frt=8080"}, {.webSocket = true, .port = 8080}},
        {{"quillmark://start-ws?port=%208080%20"}, {.webSocket = true, .port = 8080}},
        {{"quillmark://start-ws?port=+8080+"}, {.webSocket = true, .port = 8080}},
        {{"quillmark://start-ws?port=%2B8080"}, {.webSocket = true, .port = 8080}},
        {{"quillmark://start-ws?port=%09%0A8080%0D%0B%0C"}, {.webSocket = true, .port = 8080}},
        {{"quillmark://start-ws?port=80%2080"}, {.webSocket = true}},
        {{"quillmark://start-ws?port=%2B%2D80"}, {.webSocket = true}},
        {{"quillmark://start-ws?port=000008080"}, {.webSocket = true, .port = 8080}},
        {{"quillmark://start-ws?port=99999999999999999999"}, {.webSocket = true}},
        // The last valid port wins; an invalid later one keeps it.
        {{"quillmark://start-ws?port=1000", "quillmark://start-ws?port=2000"}, {.webSocket = true, .port = 2000}},
        {{"quillmark://start-ws?port=1000", "quillmark://start-ws?port=x"}, {.webSocket = true, .port = 1000}},
        {{"quillmark://start-ws?port=1000", "quillmark://start-ws"}, {.webSocket = true, .port = 1000}},
        {{"quillmark://start"}, {.custom = true}},
        {{"QUILLMARK://START?port=1"}, {.custom = true}},
        {{"quillmark://other?port=1234"}, {}},
        {{"quillmark://start-wss"}, {}},
        {{"chrome-extension://abcdef/"}, {.native = true}},
        {{"CHROME-EXTENSION://x"}, {.native = true}},
        {{"chrome-extension:/x", "quillmark:/start-ws", "http://start-ws?port=1", "--x"}, {}},
        {{"chrome-extension://x", "quillmark://start-ws?port=9", "quillmark://start"},
         {.native = true, .webSocket = true, .custom = true, .port = 9}},
    };
    for (const auto& c : cases) {
        std::string label;
        for (const auto& a : c.args) label += a + " ";
        CommandLine read;
        ASSERT_NO_THROW(read = CommandLine::Read(c.args)) << label;
        EXPECT_EQ(read.NativeMessaging, c.expect.native) << label;
        EXPECT_EQ(read.WebSocket, c.expect.webSocket) << label;
        EXPECT_EQ(read.CustomUrlProtocol, c.expect.custom) << label;
        EXPECT_EQ(read.Port, c.expect.port) << label;
    }
}

TEST(CommandLine, InvalidLaunchUrlIsAFormatFailure) {
    const std::vector<std::vector<std::string>> cases = {
        {"quillmark://start ws"},
        {"quillmark://start-ws?port=80 80"},
        {"quillmark://[::1"},
        {"quillmark://start-ws#a#b"},
        {"chrome-extension://x", "quillmark://%zz"},
        {"quillmark://%zz", "chrome-extension://x"},
        // A port in the authority is digits only, from 0 to 65535.
        {"quillmark://start-ws:abc/?port=8080"},
        {"quillmark://start-ws:abc"},
        {"quillmark://start-ws:abc?port=8080"},
        {"quillmark://start-ws:8080abc?port=8080"},
        {"quillmark://start-ws:-1"},
        {"quillmark://start-ws:+80"},
        {"quillmark://start-ws:%38%30"},
        {"quillmark://start-ws:65536"},
        {"quillmark://start-ws:99999999999999999999999/?port=8080"},
        {"quillmark://user@start-ws:x/"},
        {"quillmark://start-ws:80:80/"},
        {"quillmark://[::1]:abc"},
        {"chrome-extension://x", "quillmark://start-ws:abc/?port=8080"},
        {"quillmark://start-ws:70000/", "chrome-extension://x"},
    };
    for (const auto& args : cases) {
        std::string label;
        for (const auto& a : args) label += a + " ";
        try {
            CommandLine::Read(args);
            ADD_FAILURE() << label << "was accepted";
        } catch (const Quillmark::Platform::Failure& f) {
            EXPECT_EQ(f.Kind(), Quillmark::Platform::FailureKind::Format) << label;
        }
    }
}

TEST(CommandLine, QueryDecodingJoinsRepeatedNames) {
    struct QueryCase { std::string query; std::optional<std::string> port; };
    const QueryCase cases[] = {
        {"", std::nullopt},
        {"?port=1", "1"},
        {"port=a+b%20c", "a b c"},
        {"PoRt=1&x=2&port=3", "1,3"},
        {"port=&port=", ","},
        {"port=%E2%82%AC", "\xE2\x82\xAC"},
        {"port=a=b", "a=b"},
        {"=1&port", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(CommandLine::QueryParameter(c.query, "port"), c.port) << c.query;
}
