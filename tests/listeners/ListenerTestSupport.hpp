#pragma once
// Runs listeners in-process against a private temporary folder.

#include "Daemon/MessageListeners/IMessageListener.hpp"
#include "Daemon/Config/AppJsonCtx.hpp"
#include "Platform/Failure.hpp"
#include "Platform/Path.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <vector>

#ifdef _WIN32
#include "Platform/Windows/Win32.hpp"
#else
#include <unistd.h>
#endif

namespace Quillmark::Tests {

namespace fs = std::filesystem;

// A variable of this process, as programs it starts inherit it.
inline std::optional<std::string> GetVariable(const std::string& name) {
#ifdef _WIN32
    const auto wide = Platform::Windows::Widen(name);
    const DWORD size = ::GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
    if (size == 0) return std::nullopt;
    std::wstring value(size, L'\0');
    value.resize(::GetEnvironmentVariableW(wide.c_str(), value.data(), size));
    return Platform::Windows::Narrow(value);
#else
    const char* value = std::getenv(name.c_str());
    return value ? std::optional<std::string>(value) : std::nullopt;
#endif
}

// Sets the variable, or with nothing unsets it.
inline void SetVariable(const std::string& name, const std::optional<std::string>& value) {
#ifdef _WIN32
    ::SetEnvironmentVariableW(Platform::Windows::Widen(name).c_str(),
                              value ? Platform::Windows::Widen(*value).c_str() : nullptr);
#else
    if (value) ::setenv(name.c_str(), value->c_str(), 1); else ::unsetenv(name.c_str());
#endif
}

inline std::string ProcessId() {
#ifdef _WIN32
    return std::to_string(::GetCurrentProcessId());
#else
    return std::to_string(::getpid());
#endif
}

// Where the system's temporary directory is asked for.
#ifdef _WIN32
constexpr const char* TempVariable = "TMP";
#else
constexpr const char* TempVariable = "TMPDIR";
#endif

// One request through the listener, bounded in time; the reply, or the failure rethrown.
inline Daemon::Models::Message Call(Daemon::MessageListeners::IMessageListener& listener, std::optional<std::string> data,
                                    std::stop_token token = {}) {
    Daemon::Models::Message request;
    request._action = listener.Action();
    request.Data = std::move(data);
    boost::asio::io_context io;
    auto reply = boost::asio::co_spawn(io, listener.ProcessAsync(std::move(request), token), boost::asio::use_future);
    io.run_for(std::chrono::seconds(60));
    if (reply.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        throw std::runtime_error("the listener did not answer in time");
    }
    return reply.get();
}

// The reply's data, or "failure: <client text>".
inline std::string Answer(Daemon::MessageListeners::IMessageListener& listener, std::optional<std::string> data) {
    try {
        auto reply = Call(listener, std::move(data));
        // A reply's text made beforehand is what goes out: it must be the reply's encoding.
        if (reply.Encoded) {
            EXPECT_TRUE(*reply.Encoded == Daemon::Config::AppJsonCtx::EncodeMessage(reply));
        }
        EXPECT_EQ(reply._action, listener.Action());
        EXPECT_EQ(reply._errorCode, 0);
        EXPECT_FALSE(reply.ErrorMessage.has_value());
        return reply.Data.value_or("<absent>");
    } catch (const Platform::Failure& failure) {
        return "failure: " + failure.Message();
    }
}

inline std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void WriteFile(const fs::path& path, std::string_view content) {
    std::ofstream(path, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
}

// The arguments a stand-in recorded in the file (each ended by a NUL), the file then removed;
// nothing when no stand-in wrote it.
inline std::optional<std::vector<std::string>> TakeRecordedArguments(const fs::path& file) {
    if (!fs::exists(file)) return std::nullopt;
    const auto all = ReadFile(file);
    fs::remove(file);
    std::vector<std::string> arguments;
    for (std::size_t start = 0, end; (end = all.find('\0', start)) != std::string::npos; start = end + 1) {
        arguments.push_back(all.substr(start, end - start));
    }
    return arguments;
}

// Points the system's temporary directory (TMPDIR; TMP on Windows) at a fresh folder holding an
// empty temporary folder.
class TempFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        tmp_ = fs::temp_directory_path() /
               ("listeners-" + ProcessId() + "-" + test->test_suite_name() + "-" + test->name());
        fs::remove_all(tmp_);
        fs::create_directories(tmp_ / "Quillmark");
        oldTmp_ = GetVariable(TempVariable);
        SetVariable(TempVariable, Platform::Path::FromFsPath(tmp_));
    }
    void TearDown() override {
        SetVariable(TempVariable, oldTmp_);
        std::error_code ignored;
        fs::remove_all(tmp_, ignored);
    }

    fs::path Folder() const { return tmp_ / "Quillmark"; }
    std::vector<fs::path> FolderFiles() const {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(Folder())) files.push_back(entry.path());
        return files;
    }

    fs::path tmp_;
    std::optional<std::string> oldTmp_;
};

}  // namespace Quillmark::Tests
