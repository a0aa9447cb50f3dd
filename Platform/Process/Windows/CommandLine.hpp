#pragma once
// Command lines that a started program's CommandLineToArgvW (and its C runtime) reads back into
// exactly the arguments they were made from.

#include <string>
#include <string_view>
#include <vector>

namespace Quillmark::Platform::Process::WindowsDetail {

// One argument: in quotes unless made of letters, digits and "-_.,=+@" alone (so a path is always
// quoted and a switch such as "--sig" never is), backslashes doubled where they stand before a quote.
std::wstring QuoteArgument(std::wstring_view argument);
// The program path in plain quotes (the first word is read without escapes), then each argument
// after a blank.
std::wstring BuildCommandLine(std::string_view program, const std::vector<std::string>& arguments);

}  // namespace Quillmark::Platform::Process::WindowsDetail
