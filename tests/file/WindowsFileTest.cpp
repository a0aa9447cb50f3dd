#include "Platform/File/File.hpp"

#include "Platform/Failure.hpp"
#include "Platform/File/Folder.hpp"
#include "Platform/Path.hpp"
#include "Platform/Windows/Security.hpp"
#include "Platform/Windows/Win32.hpp"
#include "tests/file/FileTestSupport.hpp"

#include <aclapi.h>
#include <winioctl.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace Quillmark::Tests {
namespace {

namespace fs = std::filesystem;
namespace Win = Platform::Windows;
using Platform::File;
using Platform::Folder;
using Kind = Folder::EntryKind;

std::string Utf8(const fs::path& path) { return Platform::Path::FromFsPath(path); }

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void WriteAll(const fs::path& path, std::string_view content) {
    std::ofstream(path, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
}

// Another program's handle on a file, opened with the sharing it chooses.
Win::UniqueHandle Hold(const fs::path& path, DWORD access, DWORD share) {
    return Win::UniqueHandle(::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                           nullptr));
}

std::string ReadThrough(HANDLE handle) {
    std::string text(64, '\0');
    DWORD n = 0;
    ::SetFilePointer(handle, 0, nullptr, FILE_BEGIN);
    if (!::ReadFile(handle, text.data(), static_cast<DWORD>(text.size()), &n, nullptr)) return "<unreadable>";
    text.resize(n);
    return text;
}

// A junction (a mount point, which any user may make) at `link` to the folder `target`.
bool MakeJunction(const fs::path& link, const fs::path& target) {
    fs::create_directory(link);
    Win::UniqueHandle handle(::CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle) return false;
    const std::wstring substitute = L"\\??\\" + fs::absolute(target).wstring();
    const std::wstring print = fs::absolute(target).wstring();
    const auto substituteBytes = static_cast<USHORT>(substitute.size() * sizeof(wchar_t));
    const auto printBytes = static_cast<USHORT>(print.size() * sizeof(wchar_t));
    struct MountPoint {
        DWORD tag;
        USHORT dataLength, reserved, substituteOffset, substituteLength, printOffset, printLength;
        wchar_t names[1024];
    } data{};
    data.tag = IO_REPARSE_TAG_MOUNT_POINT;
    data.substituteLength = substituteBytes;
    data.printOffset = static_cast<USHORT>(substituteBytes + sizeof(wchar_t));
    data.printLength = printBytes;
    std::copy(substitute.begin(), substitute.end(), data.names);
    std::copy(print.begin(), print.end(), data.names + substitute.size() + 1);
    data.dataLength = static_cast<USHORT>(4 * sizeof(USHORT) + substituteBytes + printBytes + 2 * sizeof(wchar_t));
    DWORD ignored = 0;
    const DWORD size = 8 + data.dataLength;
    if (!::DeviceIoControl(handle.Get(), FSCTL_SET_REPARSE_POINT, &data, size, nullptr, 0, &ignored, nullptr)) {
        return false;
    }
    const DWORD attributes = ::GetFileAttributesW(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool MakeSymbolicLink(const fs::path& link, const fs::path& target, bool folder) {
    const DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE | (folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0);
    ::CreateSymbolicLinkW(link.c_str(), target.c_str(), flags);
    const DWORD attributes = ::GetFileAttributesW(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The security that a file or folder was given; true when no one but the user may change it.
bool IsPrivate(const fs::path& path) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                &owner, nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const bool isPrivate = Win::IsPrivateFolderSecurity(owner, dacl);
    ::LocalFree(descriptor);
    return isPrivate;
}

// A folder with a file, a nested file and a secret beside it.
class WindowsFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        base_ = fs::temp_directory_path() /
                ("quillmark-file-" + std::to_string(::GetCurrentProcessId()) + "-" + test->name());
        fs::remove_all(base_);
        fs::create_directories(Root() / "sub" / "deeper");
        WriteAll(base_ / "secret", "secret");
        WriteAll(Root() / "doc", "document");
        WriteAll(Root() / "sub" / "deeper" / "inner", "inner");
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(base_, ignored);
    }

    fs::path Root() const { return base_ / "root"; }
    std::string RootText() const { return Utf8(Root()); }
    Folder OpenRoot() const {
        auto folder = Folder::Open(RootText());
        if (!folder) throw std::runtime_error("the test folder did not open");
        return std::move(*folder);
    }

    fs::path base_;
};

TEST_F(WindowsFileTest, FolderNamesResolveToRegularFilesBelowTheFolder) {
    const auto root = OpenRoot();
    const struct {
        std::string name;
        Kind kind;
        std::optional<std::string> content;  // what reading opens, when anything
    } cases[] = {
        {"doc", Kind::RegularFile, "document"},
        {"DOC", Kind::RegularFile, "document"},
        {"./sub//deeper/inner", Kind::RegularFile, "inner"},
        {"sub\\deeper\\inner", Kind::RegularFile, "inner"},
        {"missing", Kind::Missing, std::nullopt},
        {"sub/missing", Kind::Missing, std::nullopt},
        {"doc/below", Kind::Missing, std::nullopt},
        // Inside a folder these are names like any other, never the devices or the aliases that
        // a path would make of them.
        {"NUL", Kind::Missing, std::nullopt},
        {"con.txt", Kind::Missing, std::nullopt},
        {"doc.", Kind::Missing, std::nullopt},
        {"", Kind::Other, std::nullopt},
        {"sub", Kind::Other, std::nullopt},
        {"doc:stream", Kind::Other, std::nullopt},
        {"doc::$DATA", Kind::Other, std::nullopt},
        {"C:doc", Kind::Other, std::nullopt},
        {"..\\secret", Kind::Other, std::nullopt},
        {"sub/../doc", Kind::Other, std::nullopt},
        {std::string("doc\0x", 5), Kind::Other, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(root.KindOf(c.name), c.kind) << c.name;
        const auto file = root.OpenForReading(c.name);
        EXPECT_EQ(file ? std::optional(ReadWhole(*file)) : std::nullopt, c.content) << c.name;
    }
}

TEST_F(WindowsFileTest, ReparsePointsAreNeverFollowed) {
    fs::create_directories(base_ / "outside");
    WriteAll(base_ / "outside" / "planted", "planted");
    const bool junction = MakeJunction(Root() / "junction", base_ / "outside");
    const bool fileLink = MakeSymbolicLink(Root() / "out-link", base_ / "secret", false);
    if (!junction && !fileLink) GTEST_SKIP() << "this system makes neither junctions nor symbolic links";
    const auto root = OpenRoot();
    std::vector<std::string> names;
    if (junction) names.insert(names.end(), {"junction", "junction/planted", "junction/missing"});
    if (fileLink) names.push_back("out-link");
    for (const auto& name : names) {
        EXPECT_EQ(root.KindOf(name), Kind::Other) << name;
        EXPECT_FALSE(root.OpenForReading(name)) << name;
        EXPECT_THROW(root.Create(name + "-new/x"), Platform::IoFailure) << name;
    }
    if (junction) {
        EXPECT_FALSE(Folder::Open(Utf8(Root() / "junction")));
        EXPECT_THROW(root.Create("junction/made"), Platform::IoFailure);
        // Removing the tree removes the junction itself, never what it leads to.
        EXPECT_TRUE(Folder::RemoveTree(RootText()));
        EXPECT_EQ(ReadAll(base_ / "outside" / "planted"), "planted");
    }
    if (fileLink) {
        EXPECT_FALSE(File::OpenForReading(Utf8(Root() / "out-link")));
        EXPECT_EQ(File::SizeOf(Utf8(Root() / "out-link")), std::nullopt);
        EXPECT_THROW(File::Truncate(Utf8(Root() / "out-link")), Platform::IoFailure);
    }
    EXPECT_EQ(ReadAll(base_ / "secret"), "secret");
}

TEST_F(WindowsFileTest, PathsToDevicesAndPipesAreNeverOpened) {
    const std::wstring pipeName = L"\\\\.\\pipe\\quillmark-file-test-" + std::to_wstring(::GetCurrentProcessId());
    Win::UniqueHandle server(::CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                                PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr));
    ASSERT_TRUE(server);
    const std::string pipe = Win::Narrow(pipeName);
    const std::string devices[] = {
        "NUL", "nul", "CON", "COM1", Utf8(Root() / "nul.pdf"), Utf8(Root() / "AUX"), pipe,
        "\\\\?\\pipe\\quillmark-file-test-" + std::to_string(::GetCurrentProcessId()),
        "\\\\localhost\\pipe\\quillmark-file-test-" + std::to_string(::GetCurrentProcessId()),
    };
    for (const auto& path : devices) {
        EXPECT_FALSE(File::OpenForReading(path)) << path;
        EXPECT_EQ(File::SizeOf(path), std::nullopt) << path;
        EXPECT_FALSE(Folder::Open(path)) << path;
    }
    for (const auto& path : {Utf8(Root() / "missing"), Utf8(Root() / "sub")}) {
        EXPECT_FALSE(File::OpenForReading(path)) << path;
        EXPECT_EQ(File::SizeOf(path), std::nullopt) << path;
    }
    for (const auto& path : {pipe, std::string("NUL"), Utf8(Root() / "con.log")}) {
        EXPECT_EQ(FailureText([&] { File::OpenForAppend(path); }), "UnauthorizedAccess_IODenied_Path, " + path);
        EXPECT_EQ(FailureText([&] { File::Truncate(path); }), "UnauthorizedAccess_IODenied_Path, " + path);
    }
    // No client ever reached the pipe: it still waits for its first.
    OVERLAPPED connect{};
    connect.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(::ConnectNamedPipe(server.Get(), &connect));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ::CancelIoEx(server.Get(), &connect);
    ::CloseHandle(connect.hEvent);
    EXPECT_EQ(File::SizeOf(Utf8(Root() / "doc")), 8);
    EXPECT_EQ(ReadWhole(*File::OpenForReading(Utf8(Root() / "doc"))), "document");
}

TEST_F(WindowsFileTest, CreatingReplacesOnlyRegularFilesAndKeepsNewOnesPrivate) {
    const auto root = OpenRoot();
    auto created = root.Create("sub/new");
    created.Write(Bytes("abc"));
    // A read at an offset leaves the writes going on where they were.
    std::string read(2, '.');
    EXPECT_EQ(created.ReadAt(1, std::span(reinterpret_cast<std::uint8_t*>(read.data()), read.size())), 2u);
    EXPECT_EQ(read, "bc");
    created.Write(Bytes("def"));
    EXPECT_EQ(created.Size(), 6);
    created.Close();
    EXPECT_EQ(ReadAll(Root() / "sub" / "new"), "abcdef");
    EXPECT_TRUE(IsPrivate(Root() / "sub" / "new"));

    auto again = root.Create("doc");
    EXPECT_EQ(again.Size(), 0);
    again.Write(Bytes("x"));
    again.Close();
    EXPECT_EQ(ReadAll(Root() / "doc"), "x");

    const auto shown = [&](std::string_view name) { return RootText() + "\\" + std::string(name); };
    const struct {
        std::string name;
        std::string failure;
    } refused[] = {
        {"sub", "UnauthorizedAccess_IODenied_Path, " + shown("sub")},
        {"missing/new", "IO_PathNotFound_Path, " + shown("missing/new")},
        {"doc/new", "IO_PathNotFound_Path, " + shown("doc/new")},
        {"doc:stream", "UnauthorizedAccess_IODenied_Path, " + shown("doc:stream")},
        {"", "UnauthorizedAccess_IODenied_Path, " + RootText()},
    };
    for (const auto& c : refused) EXPECT_EQ(FailureText([&] { root.Create(c.name); }), c.failure) << c.name;
    EXPECT_THROW(root.Create(std::string("a\0b", 3)), Platform::ArgumentFailure);
    EXPECT_EQ(ReadAll(Root() / "doc"), "x");
}

TEST_F(WindowsFileTest, ReadsAtAnyOffsetAndStopsAtTheEnd) {
    auto file = *File::OpenForReading(Utf8(Root() / "doc"));
    ExpectReadsAtAnyOffset(file);
    // While it is open for reading, no one may write to it or remove it.
    EXPECT_FALSE(Hold(Root() / "doc", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
    EXPECT_FALSE(Hold(Root() / "doc", DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
    EXPECT_TRUE(Hold(Root() / "doc", GENERIC_READ, FILE_SHARE_READ));
}

// The log file: a reader opens it while lines are appended, and appends go on while it reads.
TEST_F(WindowsFileTest, AppendsLandAtTheEndWhileAReaderHoldsTheFile) {
    const auto path = Root() / "1.log";
    auto first = File::OpenForAppend(Utf8(path));
    auto second = File::OpenForAppend(Utf8(path));
    first.Write(Bytes("one\r\n"));
    const auto reader = Hold(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_TRUE(reader) << ::GetLastError();
    second.Write(Bytes("two\r\n"));
    first.Write(Bytes("three\r\n"));
    EXPECT_EQ(ReadThrough(reader.Get()), "one\r\ntwo\r\nthree\r\n");
    first.Close();
    second.Close();
    // Reopened while the reader still holds it, appending goes on at the end.
    auto third = File::OpenForAppend(Utf8(path));
    third.Write(Bytes("four\r\n"));
    third.Close();
    EXPECT_EQ(ReadThrough(reader.Get()), "one\r\ntwo\r\nthree\r\nfour\r\n");

    File::Truncate(Utf8(path));
    EXPECT_EQ(File::SizeOf(Utf8(path)), 0);
    EXPECT_EQ(ReadThrough(reader.Get()), "");
    File::Truncate(Utf8(Root() / "fresh"));
    EXPECT_EQ(File::SizeOf(Utf8(Root() / "fresh")), 0);
}

TEST_F(WindowsFileTest, AFileHeldOpenGoesWhenItsHolderSharedItsDeletion) {
    const auto root = OpenRoot();
    {
        // As a program that lets others delete what it reads.
        const auto holder = Hold(Root() / "doc", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
        ASSERT_TRUE(holder);
        EXPECT_TRUE(root.Remove("doc"));
        EXPECT_EQ(root.KindOf("doc"), Kind::Missing);
        EXPECT_FALSE(root.OpenForReading("doc"));
        EXPECT_EQ(ReadThrough(holder.Get()), "document");
    }
    EXPECT_FALSE(fs::exists(Root() / "doc"));

    WriteAll(Root() / "held", "held");
    {
        // As a program that lets no one delete what it holds.
        const auto holder = Hold(Root() / "held", GENERIC_READ, FILE_SHARE_READ);
        ASSERT_TRUE(holder);
        EXPECT_THAT(FailureText([&] { File::Remove(Utf8(Root() / "held")); }),
                    ::testing::EndsWith(" : '" + Utf8(Root() / "held") + "'"));
    }
    EXPECT_EQ(ReadAll(Root() / "held"), "held");
    EXPECT_TRUE(File::Remove(Utf8(Root() / "held")));
    EXPECT_FALSE(File::Remove(Utf8(Root() / "held")));
    EXPECT_FALSE(root.Remove("missing/below"));
    EXPECT_THROW(root.Remove("sub"), Platform::IoFailure);
    EXPECT_THROW(File::Remove(Utf8(Root() / "sub")), Platform::IoFailure);
    EXPECT_TRUE(fs::is_directory(Root() / "sub"));
}

TEST_F(WindowsFileTest, ATreeGoesWholeThoughAFileInItIsHeldOpen) {
    WriteAll(Root() / "sub" / "held.pdf", "signing");
    {
        const auto holder = Hold(Root() / "sub" / "held.pdf", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
        ASSERT_TRUE(holder);
        EXPECT_TRUE(Folder::RemoveTree(RootText()));
        // The path is free at once, so a new folder can take it.
        EXPECT_FALSE(fs::exists(Root()));
        Folder::CreatePrivate(RootText());
        EXPECT_EQ(ReadThrough(holder.Get()), "signing");
    }
    // Nothing of the held file stays beside the folder once its holder let go.
    for (const auto& entry : fs::directory_iterator(base_)) {
        EXPECT_TRUE(entry.path().filename() == "root" || entry.path().filename() == "secret") << entry.path();
    }
    EXPECT_FALSE(Folder::RemoveTree(Utf8(base_ / "missing")));

    WriteAll(Root() / "locked", "locked");
    {
        const auto holder = Hold(Root() / "locked", GENERIC_READ, FILE_SHARE_READ);
        ASSERT_TRUE(holder);
        EXPECT_THROW(Folder::RemoveTree(RootText()), Platform::IoFailure);
        EXPECT_EQ(ReadAll(Root() / "locked"), "locked");
    }
    EXPECT_TRUE(Folder::RemoveTree(RootText()));
    EXPECT_FALSE(fs::exists(Root()));
    EXPECT_EQ(ReadAll(base_ / "secret"), "secret");
}

// Paths go to the system in UTF-16, never through the ANSI code page.
TEST_F(WindowsFileTest, PathsBeyondTheCodePageAreTheirOwn) {
    const std::string name = "t\xC3\xA0i li\xE1\xBB\x87u \xE2\x9C\x93 \xF0\x9F\x93\x84";
    const auto folder = RootText() + "\\" + name;
    Folder::CreatePrivate(folder);
    File::OpenForAppend(folder + "\\" + name + ".log").Write(Bytes("line\r\n"));
    auto opened = Folder::Open(folder);
    ASSERT_TRUE(opened);
    EXPECT_TRUE(opened->IsPrivate());
    EXPECT_EQ(opened->KindOf(name + ".log"), Kind::RegularFile);
    EXPECT_EQ(File::SizeOf(folder + "\\" + name + ".log"), 6);
    EXPECT_EQ(ReadWhole(*File::OpenForReading(folder + "\\" + name + ".log")), "line\r\n");
    opened.reset();
    const auto wide = Win::Widen(name);
    EXPECT_TRUE(fs::exists(Root() / wide / (wide + L".log")));
    EXPECT_TRUE(Folder::RemoveTree(folder));
    EXPECT_FALSE(fs::exists(Root() / wide));
}

TEST_F(WindowsFileTest, AnOpenFolderKeepsItsEntriesWhenItsPathIsTakenOver) {
    const auto root = OpenRoot();
    fs::rename(Root(), base_ / "moved");
    fs::create_directory(Root());
    WriteAll(Root() / "doc", "planted");
    EXPECT_EQ(ReadWhole(*root.OpenForReading("doc")), "document");
    root.Create("made").Close();
    EXPECT_TRUE(fs::exists(base_ / "moved" / "made"));
    EXPECT_FALSE(fs::exists(Root() / "made"));
}

TEST_F(WindowsFileTest, APrivateFolderIsAFolderOfThisUserThatNoOneElseMayWrite) {
    EXPECT_FALSE(Folder::Open(Utf8(Root() / "missing")));
    EXPECT_FALSE(Folder::Open(Utf8(Root() / "doc")));

    const auto made = Root() / "a" / "b" / "private";
    Folder::CreatePrivate(Utf8(made));
    EXPECT_TRUE(Folder::Open(Utf8(made))->IsPrivate());
    // One already there is left as it is; a file in the way is refused.
    EXPECT_NO_THROW(Folder::CreatePrivate(Utf8(made)));
    EXPECT_THROW(Folder::CreatePrivate(Utf8(Root() / "doc")), Platform::IoFailure);
    EXPECT_THROW(Folder::CreatePrivate("NUL"), Platform::IoFailure);

    // Everyone given the right to add files: no longer this user's alone.
    EXPLICIT_ACCESS_W everyone{};
    wchar_t world[] = L"EVERYONE";
    ::BuildExplicitAccessWithNameW(&everyone, world, FILE_ADD_FILE | FILE_GENERIC_READ, GRANT_ACCESS, NO_INHERITANCE);
    PACL current = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(::GetNamedSecurityInfoW(made.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                      &current, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    PACL widened = nullptr;
    ASSERT_EQ(::SetEntriesInAclW(1, &everyone, current, &widened), static_cast<DWORD>(ERROR_SUCCESS));
    std::wstring path = made.wstring();
    const DWORD set = ::SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                              nullptr, widened, nullptr);
    ::LocalFree(widened);
    ::LocalFree(descriptor);
    ASSERT_EQ(set, static_cast<DWORD>(ERROR_SUCCESS));
    if (IsPrivate(made)) GTEST_SKIP() << "this system does not keep the access list it was given";
    EXPECT_FALSE(Folder::Open(Utf8(made))->IsPrivate());
}

}  // namespace
}  // namespace Quillmark::Tests
