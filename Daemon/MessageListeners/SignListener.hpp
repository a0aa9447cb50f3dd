#pragma once

#include "Daemon/MessageListeners/IMessageListener.hpp"

#include <cstdint>

namespace Quillmark::Daemon::MessageListeners {

// Signing: runs the sibling GUI executable on a PDF (and optionally a signature image) of the
// temporary folder and answers with its exit code and standard output. Holds no state; the
// request lasts as long as the GUI runs.
class SignListener final : public IMessageListener {
public:
    SignListener() = default;

    std::int32_t Action() const override;
    Platform::Task<Models::Message> ProcessAsync(Models::Message request, Platform::CancellationToken token) override;

    // The GUI executable's file name in the application directory.
    static constexpr const char* GuiExecutableName = "Quillmark.GUI.Avalonia.exe";
};

}  // namespace Quillmark::Daemon::MessageListeners
