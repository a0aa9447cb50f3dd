// Upload, download and signing through the built daemon over native messaging.

#include "Platform/Encoding/Base64.hpp"
#include "Platform/Encoding/Hex.hpp"
#include "Platform/Encoding/Sha256.hpp"
#include "tests/support/AppSandbox.hpp"
#include "tests/support/DaemonProcess.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

namespace {

using namespace Quillmark;
using TestSupport::AppSandbox;
using TestSupport::DaemonProcess;
using TestSupport::WriteFile;
using ::testing::MatchesRegex;

std::span<const std::uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A message carrying a request object, its quotes escaped as a browser writes them.
std::string Request(int action, std::string_view object) {
    std::string message = R"({"action":)" + std::to_string(action) + R"(,"data":")";
    for (char c : object) {
        if (c == '"' || c == '\\') message += '\\';
        message += c;
    }
    return message + "\"}";
}

// A reply's data text with the wire's escapes undone (enough for the texts used here).
std::string DataOf(const std::string& reply) {
    const auto start = reply.find(R"("data":")");
    if (start == std::string::npos) return "<no data: " + reply + ">";
    std::string data;
    for (std::size_t at = start + 8; at < reply.size() && reply[at] != '"'; ++at) {
        if (reply.compare(at, 6, "\\u0022") == 0) {
            data += '"';
            at += 5;
        } else if (reply.compare(at, 2, "\\\\") == 0) {
            data += '\\';
            ++at;
        } else {
            data += reply[at];
        }
    }
    return data;
}

std::vector<std::string> SplitNul(const std::string& all) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t end; (end = all.find('\0', start)) != std::string::npos; start = end + 1) {
        parts.push_back(all.substr(start, end - start));
    }
    return parts;
}

class FileTransferProcessTest : public ::testing::Test {
protected:
    std::string Exchange(DaemonProcess& daemon, const std::string& message) {
        EXPECT_TRUE(daemon.WriteFrame(message));
        auto reply = daemon.ReadFrame();
        EXPECT_TRUE(reply.has_value()) << box.ReadStderr();
        return reply.value_or("<no reply>");
    }

    AppSandbox box{{"Quillmark.GUI.Avalonia.exe"}};
};

TEST_F(FileTransferProcessTest, UploadThenDownloadThenSignTheSameFile) {
    // The signing program's output is read in the locale's encoding: UTF-8 on Linux here, the
    // ANSI code page on Windows (1252, as Wine sets it for this locale). Both bytes read "é";
    // they come from a file, as an environment variable would carry text, not bytes.
    const auto output = box.Root() / "gui-output";
    WriteFile(output, box.Windows() ? "signed \xE9\n" : "signed \xC3\xA9\n");
    DaemonProcess daemon(box, {"chrome-extension://test/"},
                         {{"QUILLMARK_STANDIN_ARGV_FILE", box.ForDaemon(box.Root() / "argv")},
                          {"QUILLMARK_STANDIN_OUTPUT_FILE", box.ForDaemon(output)},
                          {"QUILLMARK_STANDIN_EXIT_CODE", "4"},
                          {"LC_ALL", std::nullopt}, {"LC_CTYPE", std::nullopt}, {"LANG", "C.UTF-8"}});
    std::string content(524288 + 1000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
    const auto hash = Platform::Encoding::Hex::ToUpper(Platform::Encoding::Sha256::Hash(Bytes(content)));

    EXPECT_EQ(Exchange(daemon, Request(1, R"({"action":0,"originalFileName":"contract.v2.pdf","fileSize":)" +
                                              std::to_string(content.size()) + R"(,"totalChunks":2,"fileHash":")" +
                                              hash + "\"}")),
              R"({"data":"OK","action":1,"errorCode":0})");
    const auto second = Platform::Encoding::Base64::Encode(Bytes(content).subspan(524288));
    EXPECT_EQ(Exchange(daemon, Request(1, R"({"action":1,"chunkIndex":1,"chunkData":")" + second + "\"}")),
              R"({"data":"OK","action":1,"errorCode":0})");
    const auto first = Platform::Encoding::Base64::Encode(Bytes(content).subspan(0, 524288));
    const auto done = Exchange(daemon, Request(1, R"({"action":1,"chunkIndex":0,"chunkData":")" + first + "\"}"));
    std::smatch match;
    ASSERT_TRUE(std::regex_search(done, match, std::regex(R"re(\\u0022fileName\\u0022:\\u0022([A-Z0-9]{16}_\.pdf)\\u0022)re")))
        << done;
    const std::string name = match[1];
    EXPECT_EQ(done, R"({"data":"{\u0022status\u0022:\u0022SUCCESS\u0022,\u0022fileName\u0022:\u0022)" + name +
                        R"(\u0022,\u0022originalFileName\u0022:\u0022contract.v2.pdf\u0022,\u0022fileSize\u0022:)" +
                        std::to_string(content.size()) + R"(,\u0022fileHash\u0022:\u0022)" + hash +
                        R"(\u0022}","action":1,"errorCode":0})");
    EXPECT_EQ(TestSupport::ReadFile(box.TempFolder() / name), content);

    EXPECT_EQ(Exchange(daemon, Request(2, R"({"action":0,"fileName":")" + name + "\"}")),
              R"({"data":"OK","action":2,"errorCode":0})");
    std::string downloaded;
    for (int index = 0; index < 2; ++index) {
        const auto reply = Exchange(daemon, Request(2, R"({"action":1,"chunkIndex":)" + std::to_string(index) + "}"));
        auto data = DataOf(reply);
        const std::string head = R"({"chunkIndex":)" + std::to_string(index) + R"(,"chunkData":")";
        ASSERT_TRUE(data.starts_with(head)) << data.substr(0, 60);
        std::string base64;
        for (std::size_t at = head.size(); at < data.size() && data[at] != '"'; ++at) {
            if (data.compare(at, 6, "\\u002B") == 0) {
                base64 += '+';
                at += 5;
            } else {
                base64 += data[at];
            }
        }
        const auto bytes = Platform::Encoding::Base64::Decode(base64);
        downloaded.append(bytes.begin(), bytes.end());
    }
    EXPECT_EQ(downloaded, content);
    EXPECT_EQ(Exchange(daemon, Request(2, R"({"action":1,"chunkIndex":2})")),
              R"({"errorMessage":"Chunk index is out of range Arg_ParamName_Name, chunkIndex","action":2,"errorCode":2})");

    EXPECT_EQ(Exchange(daemon, Request(3, R"({"pdfFileName":")" + name + R"(","signatureImageFileName":"sig.png"})")),
              R"({"data":"{\u0022exitCode\u0022:4,\u0022output\u0022:\u0022signed \\u00E9\\n\u0022}","action":3,"errorCode":0})");
    EXPECT_EQ(SplitNul(TestSupport::ReadFile(box.Root() / "argv")),
              (std::vector<std::string>{box.ForDaemon(box.TempFolder() / name), "--sig",
                                        box.ForDaemon(box.TempFolder() / "sig.png")}));
}

TEST_F(FileTransferProcessTest, RefusedAndFailedSignRequestsLeaveTheDaemonServing) {
    const auto argvFile = box.Root() / "argv";
    DaemonProcess daemon(box, {"chrome-extension://test/"}, {{"QUILLMARK_STANDIN_ARGV_FILE", box.ForDaemon(argvFile)}});
    EXPECT_EQ(Exchange(daemon, Request(3, R"({"pdfFileName":"../../etc/passwd"})")),
              R"({"errorMessage":"Invalid file name Arg_ParamName_Name, pdfFileName","action":3,"errorCode":2})");
    EXPECT_FALSE(std::filesystem::exists(argvFile));

    std::filesystem::remove(box.AppDir() / "Quillmark.GUI.Avalonia.exe");
    const auto failed = Exchange(daemon, Request(3, R"({"pdfFileName":"a.pdf"})"));
    // The program's full path as the JSON text writes it, then the system's own text on why.
    std::string program;
    for (char c : box.ForDaemon(box.AppDir() / "Quillmark.GUI.Avalonia.exe")) {
        if (c == '\\') program += R"(\\\\)";
        else if (c == '.') program += R"(\.)";
        else program += c;
    }
    const std::string why = box.Windows() ? R"(File not found\.)" : "No such file or directory";
    EXPECT_THAT(failed, MatchesRegex(R"(\{"errorMessage":"ErrorStartingProcess, )" + program + ", .*, " + why +
                                     R"(","action":3,"errorCode":2\})"));
    EXPECT_EQ(Exchange(daemon, R"({"action":0})"), R"({"data":"Pong","action":0,"errorCode":0})");
}

}  // namespace
