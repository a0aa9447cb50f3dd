#pragma once
// The system's handle of an open file or folder in an integer (a descriptor on POSIX, a HANDLE
// on Windows), owned: closed silently when it goes unless it was released. Each system's
// backend closes it.

#include <cstdint>
#include <utility>

namespace Quillmark::Platform {

class FileHandle {
public:
    using Native = std::intptr_t;
    static constexpr Native Invalid = -1;

    FileHandle() noexcept = default;
    explicit FileHandle(Native value) noexcept : value_(value) {}
    FileHandle(FileHandle&& other) noexcept : value_(other.Release()) {}
    FileHandle& operator=(FileHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            value_ = other.Release();
        }
        return *this;
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() { Reset(); }

    Native Get() const noexcept { return value_; }
    // Gives the handle up without closing it; Invalid stays behind.
    Native Release() noexcept { return std::exchange(value_, Invalid); }

private:
    // Closes the handle, if any, ignoring what the system reports.
    void Reset() noexcept;

    Native value_ = Invalid;
};

}  // namespace Quillmark::Platform
