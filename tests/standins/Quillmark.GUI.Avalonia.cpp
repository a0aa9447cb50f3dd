// Stands in for the signing GUI. Driven by environment variables:
//   QUILLMARK_STANDIN_ARGV_FILE    write each argument after the program path, NUL-terminated
//                                  (on Windows as CommandLineToArgvW reads them, in UTF-8)
//   QUILLMARK_STANDIN_FDS_FILE     write the numbers of the descriptors it was started with, one a
//                                  line (on Windows: the handles that lead to a file on a disk, as
//                                  "<handle> <path>")
//   QUILLMARK_STANDIN_FACTS_FILE   write "pid", "sid" and what descriptors 0, 1 and 2 lead to, one
//                                  "name value" a line; the file appears whole (on Windows no
//                                  "sid", and the standard handles as "none", "disk <path>",
//                                  "char" or "pipe")
//   QUILLMARK_STANDIN_OUTPUT_FILE  print this file's bytes; else QUILLMARK_STANDIN_OUTPUT's text
//   QUILLMARK_STANDIN_REPEAT       print the output this many times
//   QUILLMARK_STANDIN_PID_FILE     once the output is out, write the process id here (whole)
//   QUILLMARK_STANDIN_SLEEP_MS     sleep this long before ending
//   QUILLMARK_STANDIN_SIGNAL       end by raising this signal (POSIX only)
//   QUILLMARK_STANDIN_EXIT_CODE    end with this code (default 0; on Windows any 32-bit value)
//   QUILLMARK_STANDIN_DONE_FILE    create this file just before ending
//   QUILLMARK_STANDIN_DESCENDANT_FILE  (Windows) first start a copy of itself that keeps the
//                                  standard output and sleeps a minute, and write its pid here
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
std::string Narrow(const wchar_t* text, int length = -1) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, length, narrow.data(), size, nullptr, nullptr);
    if (length == -1 && !narrow.empty()) narrow.pop_back();
    return narrow;
}

std::optional<std::string> Variable(const char* name) {
    const std::wstring wide(name, name + std::char_traits<char>::length(name));
    const wchar_t* value = ::_wgetenv(wide.c_str());
    if (value == nullptr || *value == L'\0') return std::nullopt;
    return Narrow(value);
}

// Where a handle leads: the path of a file on a disk, or the kind of anything else.
std::string Describe(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return "none";
    switch (::GetFileType(handle)) {
    case FILE_TYPE_DISK: {
        wchar_t path[1024];
        const DWORD n = ::GetFinalPathNameByHandleW(handle, path, 1024, 0);
        return n > 0 && n < 1024 ? "disk " + Narrow(path, static_cast<int>(n)) : "disk";
    }
    case FILE_TYPE_CHAR:
        return "char";
    case FILE_TYPE_PIPE:
        return "pipe";
    default:
        return "none";
    }
}

std::vector<std::string> Arguments(int, char**) {
    int count = 0;
    wchar_t** words = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int i = 1; i < count; ++i) arguments.push_back(Narrow(words[i]));
    ::LocalFree(words);
    return arguments;
}

fs::path PathOf(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

// A copy of this program that sleeps a minute holding the standard output; its pid, or 0.
DWORD StartDescendant() {
    ::SetEnvironmentVariableW(L"QUILLMARK_STANDIN_DESCENDANT_FILE", nullptr);
    ::SetEnvironmentVariableW(L"QUILLMARK_STANDIN_OUTPUT", nullptr);
    ::SetEnvironmentVariableW(L"QUILLMARK_STANDIN_OUTPUT_FILE", nullptr);
    ::SetEnvironmentVariableW(L"QUILLMARK_STANDIN_DONE_FILE", nullptr);
    ::SetEnvironmentVariableW(L"QUILLMARK_STANDIN_SLEEP_MS", L"60000");
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    ::SetHandleInformation(startup.hStdOutput, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(self, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &started)) {
        return 0;
    }
    ::CloseHandle(started.hThread);
    ::CloseHandle(started.hProcess);
    return started.dwProcessId;
}
#else
std::optional<std::string> Variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

std::vector<std::string> Arguments(int argc, char** argv) { return std::vector<std::string>(argv + 1, argv + argc); }

fs::path PathOf(const std::string& text) { return fs::path(text); }
#endif

// The descriptors (handles) it was started with; looked at first, before it opens anything.
std::vector<std::string> StartingDescriptors() {
    std::vector<std::string> found;
#ifdef _WIN32
    for (std::uintptr_t value = 4; value < 4096; value += 4) {
        const auto handle = reinterpret_cast<HANDLE>(value);
        DWORD flags = 0;
        if (::GetHandleInformation(handle, &flags) && ::GetFileType(handle) == FILE_TYPE_DISK) {
            const auto kind = Describe(handle);
            found.push_back(std::to_string(value) + (kind.size() > 5 ? ' ' + kind.substr(5) : std::string()));
        }
    }
#else
    for (int fd = 0; fd < 1024; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) found.push_back(std::to_string(fd));
    }
#endif
    return found;
}

std::string Facts() {
    std::string facts;
#ifdef _WIN32
    facts += "pid " + std::to_string(::GetCurrentProcessId()) + '\n';
    const DWORD standard[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (int fd = 0; fd <= 2; ++fd) facts += std::to_string(fd) + ' ' + Describe(::GetStdHandle(standard[fd])) + '\n';
#else
    facts += "pid " + std::to_string(::getpid()) + "\nsid " + std::to_string(::getsid(0)) + '\n';
    for (int fd = 0; fd <= 2; ++fd) {
        char target[512] = {};
        const auto link = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        facts += std::to_string(fd) + ' ' + (n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "none") + '\n';
    }
#endif
    return facts;
}

}  // namespace

int main(int argc, char** argv) {
    const auto descriptors = StartingDescriptors();
#ifdef _WIN32
    // Bytes as they are: no CR LF made of a line feed.
    ::_setmode(::_fileno(stdout), _O_BINARY);
#endif
#ifdef _WIN32
    if (const auto descendantFile = Variable("QUILLMARK_STANDIN_DESCENDANT_FILE")) {
        const auto pid = StartDescendant();
        std::ofstream(PathOf(*descendantFile)) << pid;
    }
#endif
    if (const auto fdsFile = Variable("QUILLMARK_STANDIN_FDS_FILE")) {
        std::ofstream out(PathOf(*fdsFile));
        for (const auto& fd : descriptors) out << fd << '\n';
    }
    if (const auto factsFile = Variable("QUILLMARK_STANDIN_FACTS_FILE")) {
        const auto part = PathOf(*factsFile + ".part");
        std::ofstream(part, std::ios::binary) << Facts();
        fs::rename(part, PathOf(*factsFile));
    }
    if (const auto argvFile = Variable("QUILLMARK_STANDIN_ARGV_FILE")) {
        std::ofstream out(PathOf(*argvFile), std::ios::binary);
        for (const auto& argument : Arguments(argc, argv)) {
            out << argument;
            out.put('\0');
        }
    }
    std::string output;
    if (const auto file = Variable("QUILLMARK_STANDIN_OUTPUT_FILE")) {
        std::ifstream in(PathOf(*file), std::ios::binary);
        output.assign(std::istreambuf_iterator<char>(in), {});
    } else if (const auto text = Variable("QUILLMARK_STANDIN_OUTPUT")) {
        output = *text;
    }
    const long repeat = std::atol(Variable("QUILLMARK_STANDIN_REPEAT").value_or("1").c_str());
    for (long i = 0; i < repeat; ++i) std::fwrite(output.data(), 1, output.size(), stdout);
    std::fflush(stdout);
    if (const auto pidFile = Variable("QUILLMARK_STANDIN_PID_FILE")) {
        const auto part = PathOf(*pidFile + ".part");
#ifdef _WIN32
        std::ofstream(part, std::ios::binary) << ::GetCurrentProcessId();
#else
        std::ofstream(part, std::ios::binary) << ::getpid();
#endif
        fs::rename(part, PathOf(*pidFile));
    }
    if (const auto sleepMs = Variable("QUILLMARK_STANDIN_SLEEP_MS")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(sleepMs->c_str())));
    }
    if (const auto done = Variable("QUILLMARK_STANDIN_DONE_FILE")) std::ofstream{PathOf(*done)};
#ifndef _WIN32
    if (const auto signal = Variable("QUILLMARK_STANDIN_SIGNAL")) {
        std::signal(std::atoi(signal->c_str()), SIG_DFL);
        std::raise(std::atoi(signal->c_str()));
    }
#endif
    const auto code = Variable("QUILLMARK_STANDIN_EXIT_CODE");
#ifdef _WIN32
    // The whole 32-bit code, written as a signed or an unsigned number.
    if (code) ::ExitProcess(static_cast<UINT>(std::strtoll(code->c_str(), nullptr, 10)));
#endif
    return code ? std::atoi(code->c_str()) : 0;
}
