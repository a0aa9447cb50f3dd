#include "Daemon/Infrastructure/FileLogger.hpp"
#include "Daemon/Program.hpp"
#include "Platform/Process/ProcessMemory.hpp"
#include "Platform/Runtime/ProcessLifetime.hpp"

#include <exception>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    using namespace Quillmark;
    namespace Runtime = Platform::Runtime;
    std::int32_t exitCode = 1;
    try {
        Platform::Process::ProcessMemory::KeepLargeBuffers();
        Runtime::PrepareStandardHandles();
        // The module's initialisation: the log folder and file are chosen before any line.
        Daemon::Infrastructure::FileLogger::LoadCurrentLogFile();
        Runtime::SetPreExitHook(&Daemon::Infrastructure::FileLogger::Flush);
        exitCode = Daemon::Program::Main(Runtime::CommandLineArguments(argc, argv));
    } catch (...) {
        Runtime::RaiseUnhandledFailure(std::current_exception());
    }
    // Exit at once: queued log lines are flushed by the hook, nothing else needs tearing down.
    Runtime::ExitNow(exitCode);
}
