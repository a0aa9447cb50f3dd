#include "Platform/File/FileHandle.hpp"

#include <unistd.h>

namespace Quillmark::Platform {

void FileHandle::Reset() noexcept {
    if (value_ != Invalid) ::close(static_cast<int>(Release()));
}

}  // namespace Quillmark::Platform
