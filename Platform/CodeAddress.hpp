#pragma once
// Where a code address lies, for call-stack frames that carry no symbol name (Windows builds
// write no symbols the running program can read).

#include <string>

namespace Quillmark::Platform {

// "<module file name>+0x<offset from the module's start>" (the offset that addr2line reads
// against the module's image base), or "0x<address>" when no module holds the address.
std::string DescribeCodeAddress(const void* address);

}  // namespace Quillmark::Platform
