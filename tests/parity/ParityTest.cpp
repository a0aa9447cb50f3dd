// The Linux daemon and the Windows daemon under Wine, given one script of requests over the
// same transport, answer with the same bytes: ping, version, uploads of a PDF and an image,
// a download in chunks, signing through the stand-in GUI, refusals, an unknown action and
// stop. The upload names are the daemon's random choice and are masked; everything else
// must match exactly. Each daemon keeps its log in its own roaming data folder and its
// uploads in its own temporary folder.
#include "tests/soak/TransferClient.hpp"
#include "tests/support/AppSandbox.hpp"
#include "tests/support/DaemonProcess.hpp"

#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include <filesystem>
#include <functional>
#include <memory>

namespace {

using namespace Quillmark::TestSupport;
namespace fs = std::filesystem;

struct Transcript {
    // One entry per request: what was asked, then the reply as it came (names masked), or
    // "(no reply)".
    std::vector<std::pair<std::string, std::string>> steps;
    // The daemon's names for the two uploads.
    std::string pdfName;
    std::string imageName;
};

const Bytes Pdf = [] {
    const std::string head = "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n1 0 obj << /Type /Catalog >> endobj\n";
    Bytes bytes(head.begin(), head.end());
    const auto body = RandomBytes(700000, 31);
    bytes.insert(bytes.end(), body.begin(), body.end());
    const std::string tail = "\n%%EOF\n";
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return bytes;
}();
const Bytes Png = [] {
    Bytes bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    const auto body = RandomBytes(20000, 37);
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}();
// What the stand-in GUI prints and how it ends: the same bytes on both systems.
const DaemonProcess::Env GuiEnv = {{"QUILLMARK_STANDIN_OUTPUT", "signed: \"page 1\"\r\n\tdone\n"},
                                   {"QUILLMARK_STANDIN_EXIT_CODE", "3"}};

std::string Message(int action, const std::string& data) {
    return R"({"action":)" + std::to_string(action) + R"(,"data":)" + JsonQuote(data) + "}";
}

std::string ChunkRequest(int index, std::span<const std::uint8_t> piece) {
    return Message(1, R"({"action":1,"chunkIndex":)" + std::to_string(index) + R"(,"chunkData":")" +
                          ToBase64(piece) + R"("})");
}

// The file name in an upload's success reply; the empty text when there is none.
std::string UploadedName(const std::string& reply) {
    const auto parsed = ParseReply(reply);
    if (!parsed || !parsed->data) return {};
    rapidjson::Document data;
    data.Parse(parsed->data->c_str());
    if (data.HasParseError() || !data.IsObject() || !data.HasMember("fileName") || !data["fileName"].IsString())
        return {};
    return data["fileName"].GetString();
}

void Mask(std::string& text, const std::string& name, const std::string& mask) {
    if (name.empty()) return;
    for (auto at = text.find(name); at != std::string::npos; at = text.find(name, at + mask.size()))
        text.replace(at, name.size(), mask);
}

// Plays the script; the requests that name an upload use the name this daemon chose.
Transcript Play(Channel& channel) {
    Transcript t;
    auto step = [&](std::string what, const std::string& request, bool answered = true) {
        if (!channel.Send(request)) {
            t.steps.emplace_back(std::move(what), "(not sent)");
            return std::string();
        }
        if (!answered) return std::string();
        auto reply = channel.Receive(std::chrono::seconds(30)).value_or("(no reply)");
        const auto raw = reply;
        Mask(reply, t.pdfName, "<PDF NAME>");
        Mask(reply, t.imageName, "<IMAGE NAME>");
        t.steps.emplace_back(std::move(what), std::move(reply));
        return raw;
    };
    const std::span<const std::uint8_t> pdf(Pdf);
    const std::span<const std::uint8_t> png(Png);

    step("ping", R"({"action":0})");
    step("version", R"({"action":4})");
    step("PDF metadata", Message(1, R"({"action":0,"fileName":"ignored","originalFileName":"Hợp đồng.pdf","fileSize":)" +
                                        std::to_string(Pdf.size()) + R"(,"totalChunks":2,"fileHash":")" +
                                        Sha256Hex(pdf) + R"("})"));
    // The second chunk first: chunks are put together by index, not by arrival.
    step("PDF chunk 1", ChunkRequest(1, pdf.subspan(400000)));
    t.pdfName = UploadedName(step("PDF chunk 0", ChunkRequest(0, pdf.subspan(0, 400000))));
    // Masked after the fact: the reply that brought the name is masked too.
    Mask(t.steps.back().second, t.pdfName, "<PDF NAME>");
    step("image metadata", Message(1, R"({"action":0,"originalFileName":"signature.png","fileSize":)" +
                                          std::to_string(Png.size()) + R"(,"totalChunks":1,"fileHash":")" +
                                          Sha256Hex(png) + R"("})"));
    t.imageName = UploadedName(step("image chunk 0", ChunkRequest(0, png)));
    Mask(t.steps.back().second, t.imageName, "<IMAGE NAME>");

    step("download start", Message(2, R"({"action":0,"fileName":")" + t.pdfName + R"("})"));
    for (int index = 0; index < 3; ++index)
        step("download chunk " + std::to_string(index), Message(2, R"({"action":1,"chunkIndex":)" + std::to_string(index) + "}"));
    step("download of a missing file", Message(2, R"({"action":0,"fileName":"missing.pdf"})"));
    step("upload chunk without metadata", ChunkRequest(0, png));
    step("sign", Message(3, R"({"pdfFileName":")" + t.pdfName + R"(","signatureImageFileName":")" + t.imageName +
                                R"("})"));
    step("sign outside the folder", Message(3, R"({"pdfFileName":"../../x.pdf"})"));
    step("request data that is not JSON", Message(1, "{\"action\":"));
    // No listener answers action 5: the next reply is the ping's.
    step("unknown action", R"({"action":5,"data":"x"})", false);
    step("ping after the unknown action", R"({"action":0})");
    step("stop", R"({"action":2147483647})");
    return t;
}

// The checks that do not depend on the transport: the uploads in the temporary folder, the GUI
// started on them, the log in the data folder, the exit code.
void CheckSurroundings(const AppSandbox& box, const Transcript& t, DaemonProcess& daemon) {
    SCOPED_TRACE(box.Windows() ? "Windows daemon" : "Linux daemon");
    EXPECT_EQ(daemon.WaitExit(std::chrono::seconds(30)), 0) << box.ReadStderr();
    ASSERT_FALSE(t.pdfName.empty());
    ASSERT_FALSE(t.imageName.empty());
    EXPECT_EQ(ReadFile(box.TempFolder() / t.pdfName), std::string(Pdf.begin(), Pdf.end()));
    EXPECT_EQ(ReadFile(box.TempFolder() / t.imageName), std::string(Png.begin(), Png.end()));
    const std::string argv = ReadFile(box.Root() / "gui-argv");
    EXPECT_EQ(argv, box.ForDaemon(box.TempFolder() / t.pdfName) + '\0' + "--sig" + '\0' +
                        box.ForDaemon(box.TempFolder() / t.imageName) + '\0');
    const auto logs = box.ReadLogs();
    EXPECT_NE(logs.find("[Warn] Failed to load update reminder config.\r\n"), std::string::npos) << logs;
    EXPECT_NE(logs.find("[Exception] "), std::string::npos) << logs;
}

DaemonProcess::Env Environment(const AppSandbox& box) {
    auto env = GuiEnv;
    env["QUILLMARK_STANDIN_ARGV_FILE"] = box.ForDaemon(box.Root() / "gui-argv");
    return env;
}

Transcript OverNativeMessaging(DaemonBuild build) {
    AppSandbox box({"Quillmark.GUI.Avalonia.exe"}, build);
    DaemonProcess daemon(box, {"chrome-extension://parity/"}, Environment(box));
    PipeChannel pipe(daemon);
    auto transcript = Play(pipe);
    CheckSurroundings(box, transcript, daemon);
    EXPECT_EQ(daemon.ReadToEnd(), "");
    return transcript;
}

Transcript OverWebSocket(DaemonBuild build) {
    AppSandbox box({"Quillmark.GUI.Avalonia.exe"}, build);
    const auto port = FreeTcpPort();
    DaemonProcess daemon(box, {"quillmark://start-ws?port=" + std::to_string(port)}, Environment(box));
    if (!WaitForTcpListener(port, std::chrono::seconds(20))) {
        ADD_FAILURE() << "no WebSocket server on port " << port << "\n" << box.ReadStderr() << box.ReadLogs();
        return {};
    }
    WsChannel client;
    if (!client.Connect(port)) {
        ADD_FAILURE() << "no WebSocket handshake\n" << box.ReadLogs();
        return {};
    }
    auto transcript = Play(client);
    CheckSurroundings(box, transcript, daemon);
    return transcript;
}

void ExpectSame(const Transcript& first, const Transcript& second) {
    ASSERT_EQ(first.steps.size(), second.steps.size());
    for (std::size_t i = 0; i < first.steps.size(); ++i) {
        EXPECT_EQ(first.steps[i].second, second.steps[i].second) << first.steps[i].first;
    }
}

}  // namespace

TEST(Parity, NativeMessaging) {
    ExpectSame(OverNativeMessaging(DaemonBuild::Linux), OverNativeMessaging(DaemonBuild::Windows));
}

TEST(Parity, WebSocket) {
    const auto onLinux = OverWebSocket(DaemonBuild::Linux);
    ExpectSame(onLinux, OverWebSocket(DaemonBuild::Windows));
    // The same records on either transport.
    ExpectSame(onLinux, OverNativeMessaging(DaemonBuild::Linux));
}
