#pragma once

#include "Daemon/MessageListeners/IMessageListener.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace Quillmark::Daemon::MessageListeners {

// Signing: runs the sibling GUI executable on a PDF (and optionally a signature image) of the
// temporary folder and answers with its exit code and standard output. Holds no state; the
// request lasts as long as the GUI runs.
class SignListener final : public IMessageListener {
public:
    // The GUI executable's file name in the application directory.
    static constexpr const char* GuiExecutableName = "Quillmark.GUI.Avalonia.exe";

    // Looks for the GUI executable in the application directory.
    SignListener() = default;
    // Looks for it in the given folder instead, for tests.
    explicit SignListener(std::string applicationDirectory) : applicationDirectory_(std::move(applicationDirectory)) {}

    std::int32_t Action() const override;
    Platform::Task<Models::Message> ProcessAsync(Models::Message request, Platform::CancellationToken token) override;

private:
    std::optional<std::string> applicationDirectory_;
};

}  // namespace Quillmark::Daemon::MessageListeners
