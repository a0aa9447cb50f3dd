#pragma once
// The Windows backend's own view of the system: windows.h, and the one place where texts
// cross between UTF-8 (everywhere inside the daemon) and UTF-16 (the wide-character API).
// Included by Windows backend files only.

#include <windows.h>

// windows.h makes these names macros for the ...A/...W functions; our own functions of the
// same names would silently be renamed with them.
#undef GetTempPath
#undef GetCurrentDirectory

#include <string>
#include <string_view>

namespace Quillmark::Platform::Windows {

// UTF-8 to UTF-16; a byte that is not part of well-formed UTF-8 becomes U+FFFD.
std::wstring Widen(std::string_view utf8);
// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Narrow(std::wstring_view utf16);

// The system's description of an error code, without the trailing line break; "Unknown error
// (0x<hex>)" when the system has none.
std::string DescribeError(DWORD error);

// Closes a handle when it goes out of scope.
class UniqueHandle {
public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(HANDLE handle) noexcept : handle_(handle) {}
    ~UniqueHandle() { Reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = other.Release();
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE Get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Release() noexcept {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    void Reset() noexcept {
        if (*this) ::CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
};

}  // namespace Quillmark::Platform::Windows
