#include "Platform/File/FileHandle.hpp"

#include "Platform/Windows/Win32.hpp"

namespace Quillmark::Platform {

void FileHandle::Reset() noexcept {
    if (value_ != Invalid) ::CloseHandle(reinterpret_cast<HANDLE>(Release()));
}

}  // namespace Quillmark::Platform
