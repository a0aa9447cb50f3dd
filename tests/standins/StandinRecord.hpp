#pragma once
// What a stand-in for a sibling executable records about how it was started: into the file
// named by QUILLMARK_STANDIN_RECORD, as NUL-separated pairs "arg", value (one per argument
// after the program), "cwd", value and "env", "NAME=VALUE". The file appears whole (written
// aside, then renamed), so a test may poll for it.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

extern char** environ;

namespace Quillmark::Standins {

inline int RecordStart(int argc, char** argv) {
    const char* target = std::getenv("QUILLMARK_STANDIN_RECORD");
    if (target == nullptr || *target == '\0') return 0;
    std::string record;
    auto add = [&record](const char* key, const std::string& value) {
        record += key;
        record += '\0';
        record += value;
        record += '\0';
    };
    for (int i = 1; i < argc; ++i) add("arg", argv[i]);
    add("cwd", std::filesystem::current_path().string());
    for (char** entry = environ; *entry != nullptr; ++entry) add("env", *entry);
    const std::string part = std::string(target) + ".part";
    {
        std::ofstream out(part, std::ios::binary | std::ios::trunc);
        out.write(record.data(), static_cast<std::streamsize>(record.size()));
        if (!out) return 1;
    }
    return std::rename(part.c_str(), target) == 0 ? 0 : 1;
}

}  // namespace Quillmark::Standins
