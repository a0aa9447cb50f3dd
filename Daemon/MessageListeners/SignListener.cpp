#include "Daemon/MessageListeners/SignListener.hpp"

#include "Common/TextDecoding.hpp"
#include "Common/Utils.hpp"
#include "Daemon/MessageListeners/ActionCode.hpp"
#include "Daemon/MessageListeners/ListenerReply.hpp"
#include "Daemon/MessageListeners/RequestData.hpp"
#include "Daemon/MessageListeners/TempFolder.hpp"
#include "Platform/Failure.hpp"
#include "Platform/Json/JsonObject.hpp"
#include "Platform/Path.hpp"
#include "Platform/Process/ChildProcess.hpp"
#include "Platform/Process/ConsoleText.hpp"

namespace Quillmark::Daemon::MessageListeners {

namespace {

using Platform::Json::JsonNode;
using Platform::Process::ConsoleText;

// A byte-order mark decides the encoding; without one, the console's code set does.
std::string DecodeOutput(const std::vector<std::uint8_t>& output) {
    const auto codeset = ConsoleText::OutputCodeset();
    if (!ConsoleText::StartsWithByteOrderMark(output) && !ConsoleText::IsUtf8(codeset)) {
        if (auto text = ConsoleText::ConvertToUtf8(output, codeset)) return std::move(*text);
    }
    return Common::DecodeTextFile({reinterpret_cast<const char*>(output.data()), output.size()});
}

}  // namespace

std::int32_t SignListener::Action() const { return ActionCode::Sign; }

Platform::Task<Models::Message> SignListener::ProcessAsync(Models::Message request, Platform::CancellationToken token) {
    const auto object = RequestData::Parse(request.Data);
    const auto* pdf = object.Find("pdfFileName");
    if (pdf == nullptr) throw Platform::ArgumentNullFailure("pdfFileName");
    const auto pdfName = pdf->GetString();
    std::string signatureName;
    if (const auto* signature = object.Find("signatureImageFileName")) signatureName = signature->GetString();

    // The GUI is handed only files of the temporary folder.
    if (!TempFolder::IsSafeName(pdfName)) throw Platform::ArgumentFailure("Invalid file name", "pdfFileName");
    if (!signatureName.empty() && !TempFolder::IsSafeName(signatureName)) {
        throw Platform::ArgumentFailure("Invalid file name", "signatureImageFileName");
    }
    const auto folder = TempFolder::Open();
    // A regular file, or a name not there yet; never a link, pipe or device, which could lead
    // the GUI out of the folder or hold it (and so the daemon) waiting for good. The empty name
    // is the folder itself.
    const auto path = [&folder](const std::string& name, const char* argument) {
        if (!folder || (!name.empty() && folder->KindOf(name) == Platform::Folder::EntryKind::Other)) {
            throw Platform::ArgumentFailure("Invalid file name", argument);
        }
        return Platform::Path::Join(folder->Path(), name);
    };
    std::vector<std::string> arguments{path(pdfName, "pdfFileName")};
    if (!signatureName.empty()) {
        arguments.emplace_back("--sig");
        arguments.push_back(path(signatureName, "signatureImageFileName"));
    }
    const auto program = Platform::Path::Join(
        applicationDirectory_ ? *applicationDirectory_ : Common::Utils::GetCurrentDir(), GuiExecutableName);

    const auto result = co_await Platform::Process::ChildProcess::RunAsync(program, std::move(arguments), token);

    Platform::Json::JsonObject reply;
    reply.Add("exitCode", JsonNode::Number(result.ExitCode));
    reply.Add("output", JsonNode::String(DecodeOutput(result.Output)));
    co_return ListenerReply(Action(), reply.ToJsonString());
}

}  // namespace Quillmark::Daemon::MessageListeners
