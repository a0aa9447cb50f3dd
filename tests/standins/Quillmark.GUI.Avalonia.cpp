// Stands in for the signing GUI. Driven by environment variables:
//   QUILLMARK_STANDIN_ARGV_FILE    write each argument after the program path, NUL-terminated
//   QUILLMARK_STANDIN_FDS_FILE     write the numbers of the descriptors it was started with, one a line
//   QUILLMARK_STANDIN_FACTS_FILE   write "pid", "sid" and what descriptors 0, 1 and 2 lead to, one
//                                  "name value" a line; the file appears whole (these two on POSIX)
//   QUILLMARK_STANDIN_OUTPUT_FILE  print this file's bytes; else QUILLMARK_STANDIN_OUTPUT's text
//   QUILLMARK_STANDIN_REPEAT       print the output this many times
//   QUILLMARK_STANDIN_PID_FILE     once the output is out, write this process's id here (whole)
//   QUILLMARK_STANDIN_SLEEP_MS     sleep this long before ending
//   QUILLMARK_STANDIN_SIGNAL       end by raising this signal
//   QUILLMARK_STANDIN_EXIT_CODE    end with this code (default 0)
//   QUILLMARK_STANDIN_DONE_FILE    create this file just before ending
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

const char* Variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

int ProcessId() {
#ifdef _WIN32
    return _getpid();
#else
    return ::getpid();
#endif
}

#ifndef _WIN32
// What it was started with, looked at before this program opens anything of its own.
void RecordDescriptors() {
    std::vector<int> descriptors;
    for (int fd = 0; fd < 1024; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) descriptors.push_back(fd);
    }
    if (const char* fdsFile = Variable("QUILLMARK_STANDIN_FDS_FILE")) {
        std::ofstream out(fdsFile);
        for (int fd : descriptors) out << fd << '\n';
    }
    if (const char* factsFile = Variable("QUILLMARK_STANDIN_FACTS_FILE")) {
        const std::string part = std::string(factsFile) + ".part";
        {
            std::ofstream out(part);
            out << "pid " << ::getpid() << "\nsid " << ::getsid(0) << '\n';
            for (int fd = 0; fd <= 2; ++fd) {
                char target[512] = {};
                const auto link = "/proc/self/fd/" + std::to_string(fd);
                const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
                out << fd << ' ' << (n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "none") << '\n';
            }
        }
        std::rename(part.c_str(), factsFile);
    }
}
#endif

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    // The bytes asked for, not text with its line ends turned into CR LF.
    _setmode(_fileno(stdout), _O_BINARY);
#else
    RecordDescriptors();
#endif
    if (const char* argvFile = Variable("QUILLMARK_STANDIN_ARGV_FILE")) {
        std::ofstream out(argvFile, std::ios::binary);
        for (int i = 1; i < argc; ++i) {
            out << argv[i];
            out.put('\0');
        }
    }
    std::string output;
    if (const char* file = Variable("QUILLMARK_STANDIN_OUTPUT_FILE")) {
        std::ifstream in(file, std::ios::binary);
        output.assign(std::istreambuf_iterator<char>(in), {});
    } else if (const char* text = Variable("QUILLMARK_STANDIN_OUTPUT")) {
        output = text;
    }
    const long repeat = Variable("QUILLMARK_STANDIN_REPEAT") ? std::atol(Variable("QUILLMARK_STANDIN_REPEAT")) : 1;
    for (long i = 0; i < repeat; ++i) std::fwrite(output.data(), 1, output.size(), stdout);
    std::fflush(stdout);
    if (const char* pidFile = Variable("QUILLMARK_STANDIN_PID_FILE")) {
        const std::string part = std::string(pidFile) + ".part";
        std::ofstream(part) << ProcessId();
        std::rename(part.c_str(), pidFile);
    }
    if (const char* sleepMs = Variable("QUILLMARK_STANDIN_SLEEP_MS")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(sleepMs)));
    }
    if (const char* done = Variable("QUILLMARK_STANDIN_DONE_FILE")) std::ofstream{done};
    if (const char* signal = Variable("QUILLMARK_STANDIN_SIGNAL")) {
        std::signal(std::atoi(signal), SIG_DFL);
        std::raise(std::atoi(signal));
    }
    const char* code = Variable("QUILLMARK_STANDIN_EXIT_CODE");
    return code ? std::atoi(code) : 0;
}
