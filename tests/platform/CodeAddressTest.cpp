#include "Platform/CodeAddress.hpp"

#include "Platform/Environment.hpp"
#include "Platform/Path.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

using namespace Quillmark::Platform;

namespace {
void CodeOfThisProgram() {}
}  // namespace

TEST(CodeAddressTest, NamesTheModuleAndTheOffsetIntoIt) {
    const auto* code = reinterpret_cast<const void*>(&CodeOfThisProgram);
    const auto text = DescribeCodeAddress(code);
    const std::string module(Path::GetFileName(Environment::GetExecutablePath()));
    ASSERT_EQ(text.rfind(module + "+0x", 0), 0u) << text;
    const auto offset = std::stoull(text.substr(module.size() + 3), nullptr, 16);
    // The offset is from the module's start, not the address itself.
    EXPECT_GT(offset, 0u);
    EXPECT_LT(offset, reinterpret_cast<std::uintptr_t>(code));
    EXPECT_EQ(DescribeCodeAddress(nullptr), "0x0");
}
