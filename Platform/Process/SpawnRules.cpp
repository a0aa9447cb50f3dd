#include "Platform/Process/SpawnRules.hpp"

#include "Platform/Environment.hpp"
#include "Platform/Failure.hpp"

namespace Quillmark::Platform::Process {

void ValidateSpawnOptions(const SpawnOptions& options) {
    if (options.Input == ChildStream::Pipe) throw InvalidOperationFailure("Standard input cannot be a pipe");
    if (options.Output == ChildStream::Pipe && options.Detached) {
        throw InvalidOperationFailure("A detached program's output cannot be a pipe");
    }
    if (options.Method == StartMethod::Shell &&
        (!options.Detached || !options.Arguments.empty() || options.Input != ChildStream::NullDevice ||
         options.Output != ChildStream::NullDevice)) {
        throw InvalidOperationFailure("The shell starts a program detached, without arguments or handles");
    }
}

void ThrowStartFailure(const std::string& program, const std::string& why) {
    throw IoFailure(PlatformText("ErrorStartingProcess", {program, Environment::GetCurrentDirectory(), why}));
}

}  // namespace Quillmark::Platform::Process
