#include "Platform/Path.hpp"

#include <gtest/gtest.h>

namespace Path = Quillmark::Platform::Path;
using Path::Style;

// Both systems' rules are plain text work: each is checked wherever the tests run.

TEST(PathTest, JoinFollowsEachSystemsRules) {
    struct Case { Style style; const char* first; const char* second; const char* joined; };
    const Case cases[] = {
        {Style::Posix, "/tmp", "Quillmark", "/tmp/Quillmark"},
        {Style::Posix, "/tmp/", "Quillmark", "/tmp/Quillmark"},
        {Style::Posix, "", "Quillmark", "Quillmark"},
        {Style::Posix, "/tmp", "/etc/passwd", "/etc/passwd"},
        {Style::Posix, "/tmp", "", "/tmp"},
        {Style::Posix, "/tmp", "a/b.pdf", "/tmp/a/b.pdf"},
        {Style::Posix, "/tmp", "..\\x", "/tmp/..\\x"},
        {Style::Posix, "/tmp", "C:\\x", "/tmp/C:\\x"},
        {Style::Posix, "/tmp\\", "x", "/tmp\\/x"},
        {Style::Posix, "/tmp", "\xC3\xA9.pdf", "/tmp/\xC3\xA9.pdf"},
        {Style::Windows, "C:\\Temp", "Quillmark", "C:\\Temp\\Quillmark"},
        {Style::Windows, "C:\\Temp\\", "Quillmark", "C:\\Temp\\Quillmark"},
        {Style::Windows, "C:/Temp/", "Quillmark", "C:/Temp/Quillmark"},
        {Style::Windows, "", "Quillmark", "Quillmark"},
        {Style::Windows, "C:\\Temp", "", "C:\\Temp"},
        {Style::Windows, "C:\\Temp", "D:\\x.pdf", "D:\\x.pdf"},
        {Style::Windows, "C:\\Temp", "d:x.pdf", "d:x.pdf"},
        {Style::Windows, "C:\\Temp", "\\Windows\\win.ini", "\\Windows\\win.ini"},
        {Style::Windows, "C:\\Temp", "/etc/passwd", "/etc/passwd"},
        {Style::Windows, "C:\\Temp", "\\\\server\\share\\x", "\\\\server\\share\\x"},
        {Style::Windows, "C:\\Temp", "a/b.pdf", "C:\\Temp\\a/b.pdf"},
        {Style::Windows, "C:\\Temp", "..\\x", "C:\\Temp\\..\\x"},
        {Style::Windows, "C:", "x", "C:\\x"},
        {Style::Windows, "C:\\T\xE1\xBA\xA1m", "\xC3\xA9.pdf", "C:\\T\xE1\xBA\xA1m\\\xC3\xA9.pdf"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Path::Join(c.first, c.second, c.style), c.joined)
            << (c.style == Style::Windows ? "windows: " : "posix: ") << c.first << " + " << c.second;
    }
}

TEST(PathTest, RootedPaths) {
    struct Case { const char* path; bool posix; bool windows; };
    const Case cases[] = {
        {"/etc", true, true},
        {"\\Windows", false, true},
        {"C:\\x", false, true},
        {"c:x", false, true},
        {"C:", false, true},
        {"\\\\server\\share", false, true},
        {"1:\\x", false, false},
        {"x", false, false},
        {"", false, false},
        {":x", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Path::IsRooted(c.path, Style::Posix), c.posix) << c.path;
        EXPECT_EQ(Path::IsRooted(c.path, Style::Windows), c.windows) << c.path;
    }
}

TEST(PathTest, FileAndFolderParts) {
    struct Case { Style style; const char* path; const char* fileName; const char* folder; };
    const Case cases[] = {
        {Style::Posix, "/home/u/src/Program.cpp", "Program.cpp", "/home/u/src"},
        {Style::Posix, "C:\\src\\Program.cs", "Program.cs", ""},
        {Style::Posix, "Program.cpp", "Program.cpp", ""},
        {Style::Posix, "/Program.cpp", "Program.cpp", "/"},
        {Style::Posix, "/a//b", "b", "/a"},
        {Style::Posix, "/a/", "", "/a"},
        {Style::Posix, "/", "", ""},
        {Style::Posix, "", "", ""},
        {Style::Windows, "C:\\Program Files\\Q\\Quillmark.Daemon.exe", "Quillmark.Daemon.exe", "C:\\Program Files\\Q"},
        {Style::Windows, "C:/Program Files/Q/Quillmark.Daemon.exe", "Quillmark.Daemon.exe", "C:/Program Files/Q"},
        {Style::Windows, "C:\\Quillmark.Daemon.exe", "Quillmark.Daemon.exe", "C:\\"},
        {Style::Windows, "C:Quillmark.Daemon.exe", "C:Quillmark.Daemon.exe", "C:"},
        {Style::Windows, "C:\\", "", ""},
        {Style::Windows, "C:", "C:", ""},
        {Style::Windows, "C:\\a\\\\b", "b", "C:\\a"},
        {Style::Windows, "\\a", "a", "\\"},
        {Style::Windows, "\\\\server\\share\\Q\\x.exe", "x.exe", "\\\\server\\share\\Q"},
        {Style::Windows, "\\\\server\\share\\x.exe", "x.exe", "\\\\server\\share"},
        {Style::Windows, "\\\\server\\share", "share", ""},
        {Style::Windows, "\\\\?\\C:\\Q\\x.exe", "x.exe", "\\\\?\\C:\\Q"},
        {Style::Windows, "\\\\?\\C:\\x.exe", "x.exe", "\\\\?\\C:\\"},
        {Style::Windows, "\\\\?\\UNC\\server\\share\\x.exe", "x.exe", "\\\\?\\UNC\\server\\share"},
        {Style::Windows, "relative\\x.exe", "x.exe", "relative"},
        {Style::Windows, "x.exe", "x.exe", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Path::GetFileName(c.path), c.fileName) << c.path;
        EXPECT_EQ(Path::GetDirectoryName(c.path, c.style), c.folder)
            << (c.style == Style::Windows ? "windows: " : "posix: ") << c.path;
    }
}

TEST(PathTest, Utf8RoundTripsThroughFileSystemPaths) {
    const std::string text = "/tmp/\xE1\xBA\xA1n/\xF0\x9F\x93\x84.pdf";
    EXPECT_EQ(Path::FromFsPath(Path::ToFsPath(text)), text);
    EXPECT_TRUE(Path::ToFsPath(text).filename().u8string() == u8"\U0001F4C4.pdf");
}
