#include "Daemon/Infrastructure/CallerName.hpp"

#include <gtest/gtest.h>

#include <source_location>

using Quillmark::Daemon::Infrastructure::BareFunctionName;

TEST(CallerNameTest, ReducesCompilerSignaturesToTheBareName) {
    struct Case { const char* signature; const char* name; };
    const Case cases[] = {
        {"static void Quillmark::Daemon::Infrastructure::UpdateManager::CheckAndLaunchUpdater()",
         "CheckAndLaunchUpdater"},
        {"int main()", "main"},
        {"N::C::C()", "C"},
        {"N::C::~C()", "~C"},
        {"void N::C::Run() const", "Run"},
        {"N::C::Run() const::<lambda(int)>", "Run"},
        {"N::C::Run() const::<lambda(int)>::<lambda()>", "Run"},
        {"N::C::Run() const::<lambda(auto:21)> [with auto:21 = int]", "Run"},
        {"static T N::C::Tpl(T) [with T = int]", "Tpl"},
        {"void N::Get<std::vector<int> >(int)", "Get"},
        {"void {anonymous}::Anon()", "Anon"},
        {"static boost::asio::awaitable<void> N::C::MainAsync(std::stop_token)", "MainAsync"},
        {"void N::Run(std::function<void(int)>)", "Run"},
        {"bool N::C::operator==(const N::C&) const", "operator=="},
        {"bool N::C::operator<(const N::C&) const", "operator<"},
        {"void N::C::operator()()", "operator()"},
        {"N::C::operator std::string() const", "operator std::string"},
        {"void* operator new(std::size_t)", "operator new"},
        {"void N::operatorLike()", "operatorLike"},
        {"", ""},
        {"CheckAndLaunchUpdater", "CheckAndLaunchUpdater"},
    };
    for (const auto& c : cases) EXPECT_EQ(BareFunctionName(c.signature), c.name) << c.signature;
}

namespace {
std::string NameHere(std::source_location where = std::source_location::current()) {
    return BareFunctionName(where.function_name());
}
struct Widget {
    std::string Member() const { return NameHere(); }
    std::string InLambda() { return [] { return NameHere(); }(); }
};
}  // namespace

TEST(CallerNameTest, WorksOnThisCompilersOwnNames) {
    EXPECT_EQ(Widget().Member(), "Member");
    EXPECT_EQ(Widget().InLambda(), "InLambda");
}
