#pragma once
// A descriptor closed when its owner goes, so that no path out of a start leaves one open.

#include <unistd.h>

#include <utility>

namespace Quillmark::Platform {

class FileDescriptor {
public:
    FileDescriptor() noexcept = default;
    // Takes the descriptor over; a negative one is none.
    explicit FileDescriptor(int fd) noexcept : fd_(fd < 0 ? -1 : fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { Reset(); }

    int Get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    // Gives the descriptor up without closing it; -1 stays behind.
    int Release() noexcept { return std::exchange(fd_, -1); }
    void Reset() noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

}  // namespace Quillmark::Platform
