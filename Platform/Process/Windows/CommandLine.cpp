#include "Platform/Process/Windows/CommandLine.hpp"

#include "Platform/Windows/Win32.hpp"

#include <cstddef>

namespace Quillmark::Platform::Process::WindowsDetail {

namespace {
bool IsBare(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
           std::wstring_view(L"-_.,=+@").find(c) != std::wstring_view::npos;
}
}  // namespace

std::wstring QuoteArgument(std::wstring_view argument) {
    bool bare = !argument.empty();
    for (wchar_t c : argument) bare = bare && IsBare(c);
    if (bare) return std::wstring(argument);
    std::wstring quoted = L"\"";
    for (std::size_t i = 0;; ++i) {
        std::size_t backslashes = 0;
        while (i < argument.size() && argument[i] == L'\\') {
            ++backslashes;
            ++i;
        }
        if (i == argument.size()) {
            // They stand before the closing quote: each one doubled.
            quoted.append(backslashes * 2, L'\\');
            break;
        }
        if (argument[i] == L'"') {
            quoted.append(backslashes * 2 + 1, L'\\');
        } else {
            quoted.append(backslashes, L'\\');
        }
        quoted.push_back(argument[i]);
    }
    quoted.push_back(L'"');
    return quoted;
}

std::wstring BuildCommandLine(std::string_view program, const std::vector<std::string>& arguments) {
    std::wstring line = L"\"" + Windows::Widen(program) + L"\"";
    for (const auto& argument : arguments) {
        line.push_back(L' ');
        line += QuoteArgument(Windows::Widen(argument));
    }
    return line;
}

}  // namespace Quillmark::Platform::Process::WindowsDetail
