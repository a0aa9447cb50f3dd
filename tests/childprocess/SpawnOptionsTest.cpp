#include "Platform/Process/SpawnedProcess.hpp"

#include "Platform/Failure.hpp"

#include <gtest/gtest.h>

namespace {

using namespace Quillmark::Platform;
using namespace Quillmark::Platform::Process;

TEST(SpawnOptionsTest, OptionsThatContradictEachOtherAreRefusedBeforeAnyStart) {
    // No program is there: a start tried before the options were judged would fail otherwise.
    const std::string missing = "quillmark-no-such-program.exe";
    auto direct = [&](ChildStream input, ChildStream output, bool detached) {
        return SpawnOptions{.Program = missing, .Arguments = {}, .Method = StartMethod::Direct,
                            .Input = input, .Output = output, .Detached = detached};
    };
    auto shell = [&](std::vector<std::string> arguments, ChildStream input, ChildStream output, bool detached) {
        return SpawnOptions{.Program = missing, .Arguments = std::move(arguments), .Method = StartMethod::Shell,
                            .Input = input, .Output = output, .Detached = detached};
    };
    const SpawnOptions cases[] = {
        direct(ChildStream::Pipe, ChildStream::Inherited, false),
        direct(ChildStream::NullDevice, ChildStream::Pipe, true),
        shell({}, ChildStream::NullDevice, ChildStream::Pipe, true),
        shell({}, ChildStream::Inherited, ChildStream::NullDevice, true),
        shell({}, ChildStream::NullDevice, ChildStream::Inherited, true),
        shell({}, ChildStream::NullDevice, ChildStream::NullDevice, false),
        shell({"argument"}, ChildStream::NullDevice, ChildStream::NullDevice, true),
    };
    for (const auto& options : cases) EXPECT_THROW(SpawnedProcess::Spawn(options), InvalidOperationFailure);
    EXPECT_THROW(SpawnedProcess::Spawn(direct(ChildStream::NullDevice, ChildStream::NullDevice, true)), IoFailure);
}

}  // namespace
