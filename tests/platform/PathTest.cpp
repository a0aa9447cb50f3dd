#include "Platform/Path.hpp"

#include <gtest/gtest.h>

namespace Path = Quillmark::Platform::Path;

TEST(PathTest, JoinFollowsThePlatformRules) {
    struct Case { const char* first; const char* second; const char* joined; };
    const Case cases[] = {
        {"/tmp", "Quillmark", "/tmp/Quillmark"},
        {"/tmp/", "Quillmark", "/tmp/Quillmark"},
        {"", "Quillmark", "Quillmark"},
        {"/tmp", "/etc/passwd", "/etc/passwd"},
        {"/tmp", "", "/tmp"},
        {"/tmp", "a/b.pdf", "/tmp/a/b.pdf"},
        {"/tmp", "..\\x", "/tmp/..\\x"},
        {"/tmp", "\xC3\xA9.pdf", "/tmp/\xC3\xA9.pdf"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Path::Join(c.first, c.second), c.joined) << c.first << " + " << c.second;
    }
}

TEST(PathTest, FileAndFolderParts) {
    struct Case { const char* path; const char* fileName; const char* folder; };
    const Case cases[] = {
        {"/home/u/src/Program.cpp", "Program.cpp", "/home/u/src"},
        {"C:\\src\\Program.cs", "Program.cs", ""},
        {"Program.cpp", "Program.cpp", ""},
        {"/Program.cpp", "Program.cpp", "/"},
        {"/a//b", "b", "/a"},
        {"/a/", "", "/a"},
        {"/", "", ""},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Path::GetFileName(c.path), c.fileName) << c.path;
        EXPECT_EQ(Path::GetDirectoryName(c.path), c.folder) << c.path;
    }
}

TEST(PathTest, Utf8RoundTripsThroughFileSystemPaths) {
    const std::string text = "/tmp/\xE1\xBA\xA1n/\xF0\x9F\x93\x84.pdf";
    EXPECT_EQ(Path::FromFsPath(Path::ToFsPath(text)), text);
    EXPECT_TRUE(Path::ToFsPath(text).filename().u8string() == u8"\U0001F4C4.pdf");
}
