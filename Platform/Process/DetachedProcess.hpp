#pragma once
// Starting a program that runs on by itself: nobody waits for it, and it is never left behind
// as a zombie (the blocking pool waits for it once it ends, while the daemon still runs).

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace Quillmark::Platform::Process {

class DetachedProcess {
public:
    // Starts the program directly (no shell) with the given arguments after the program path,
    // in a session of its own; environment, working directory and standard error are
    // inherited, standard input and output are the null device (never the daemon's own, which
    // may be a browser's pipes). Returns once the program has been started. A refused start is
    // an IoFailure "ErrorStartingProcess, <program>, <current dir>, <why>", and nothing runs then.
    static void StartDetached(const std::string& program, const std::vector<std::string>& arguments);
    // Opens the file as the desktop shell would, without arguments and without an error
    // dialog; fails like StartDetached. On Linux the file itself is started.
    static void ShellOpen(const std::string& path);
    // The longest single argument, in bytes, that the program can be started with here and now.
    static std::size_t MaxArgumentLength(std::string_view program);
};

}  // namespace Quillmark::Platform::Process
