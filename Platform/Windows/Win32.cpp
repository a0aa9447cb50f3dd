#include "Platform/Windows/Win32.hpp"

#include <climits>
#include <cstdio>

namespace Quillmark::Platform::Windows {

namespace {
// The conversion functions count in int; longer texts are converted piece by piece, cut where
// no character is split.
constexpr std::size_t PieceSize = 1 << 28;

std::size_t Utf8CutBefore(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) return text.size();
    std::size_t cut = limit;
    while (cut > limit - 4 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return cut;
}

std::size_t Utf16CutBefore(std::wstring_view text, std::size_t limit) {
    if (text.size() <= limit) return text.size();
    // A low surrogate after the cut belongs to the high one before it.
    return (text[limit] >= 0xDC00 && text[limit] <= 0xDFFF) ? limit - 1 : limit;
}
}  // namespace

std::wstring Widen(std::string_view utf8) {
    std::wstring wide;
    while (!utf8.empty()) {
        const auto piece = utf8.substr(0, Utf8CutBefore(utf8, PieceSize));
        const int length = static_cast<int>(piece.size());
        const int needed = ::MultiByteToWideChar(CP_UTF8, 0, piece.data(), length, nullptr, 0);
        const auto offset = wide.size();
        wide.resize(offset + static_cast<std::size_t>(needed));
        ::MultiByteToWideChar(CP_UTF8, 0, piece.data(), length, wide.data() + offset, needed);
        utf8.remove_prefix(piece.size());
    }
    return wide;
}

std::string Narrow(std::wstring_view utf16) {
    std::string narrow;
    while (!utf16.empty()) {
        const auto piece = utf16.substr(0, Utf16CutBefore(utf16, PieceSize));
        const int length = static_cast<int>(piece.size());
        const int needed = ::WideCharToMultiByte(CP_UTF8, 0, piece.data(), length, nullptr, 0, nullptr, nullptr);
        const auto offset = narrow.size();
        narrow.resize(offset + static_cast<std::size_t>(needed));
        ::WideCharToMultiByte(CP_UTF8, 0, piece.data(), length, narrow.data() + offset, needed, nullptr, nullptr);
        utf16.remove_prefix(piece.size());
    }
    return narrow;
}

std::string DescribeError(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring_view text(buffer, length);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) {
        text.remove_suffix(1);
    }
    std::string described = Narrow(text);
    if (buffer != nullptr) ::LocalFree(buffer);
    if (!described.empty()) return described;
    char unknown[40];
    std::snprintf(unknown, sizeof unknown, "Unknown error (0x%lx)", static_cast<unsigned long>(error));
    return unknown;
}

}  // namespace Quillmark::Platform::Windows
