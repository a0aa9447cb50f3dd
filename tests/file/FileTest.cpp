#include "Platform/File/File.hpp"

#include "Platform/Failure.hpp"
#include "Platform/File/Folder.hpp"
#include "tests/common/TestHelpers.hpp"
#include "tests/file/FileTestSupport.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <thread>

namespace Quillmark::Tests {
namespace {

namespace fs = std::filesystem;
using Platform::File;
using Platform::Folder;
using Kind = Folder::EntryKind;

// Runs the body; should it wait to open a pipe, becomes the writer it waits for so that the
// test goes on, and answers whether that happened.
template <class Body>
bool WaitedOnAPipe(const std::vector<fs::path>& pipes, Body body) {
    const auto wchan = "/proc/self/task/" + std::to_string(::gettid()) + "/wchan";
    std::atomic<bool> done = false;
    std::atomic<bool> waited = false;
    std::thread watcher([&] {
        while (!done) {
            if (ReadAll(wchan).starts_with("wait_for_partner")) {
                waited = true;
                for (const auto& pipe : pipes) {
                    const int fd = ::open(pipe.c_str(), O_RDWR | O_NONBLOCK);
                    if (fd >= 0) ::close(fd);
                }
            }
            std::this_thread::yield();
        }
    });
    body();
    done = true;
    watcher.join();
    return waited;
}

// A folder with one of each kind of entry, and a secret outside it.
class FileTest : public ::testing::Test {
protected:
    void SetUp() override {
        WriteAll(tmp.Path() / "secret", "secret");
        fs::create_directories(Root() / "sub" / "deeper");
        WriteAll(Root() / "doc", "document");
        WriteAll(Root() / "sub" / "deeper" / "inner", "inner");
        fs::create_symlink(tmp.Path() / "secret", Root() / "out-link");
        fs::create_symlink("doc", Root() / "in-link");
        fs::create_directory_symlink(Root() / "sub", Root() / "sub-link");
        ASSERT_EQ(::mkfifo((Root() / "pipe").c_str(), 0600), 0);
    }

    fs::path Root() const { return tmp.Path() / "root"; }
    Folder OpenRoot() const {
        auto folder = Folder::Open(Root().string());
        if (!folder) throw std::runtime_error("the test folder did not open");
        return std::move(*folder);
    }

    TempFolder tmp;
};

TEST_F(FileTest, FolderNamesResolveToRegularFilesWithoutAnyLink) {
    const auto root = OpenRoot();
    const struct {
        std::string name;
        Kind kind;
        std::optional<std::string> content;  // what reading opens, when anything
    } cases[] = {
        {"doc", Kind::RegularFile, "document"},
        {"./sub//deeper/inner", Kind::RegularFile, "inner"},
        {"missing", Kind::Missing, std::nullopt},
        {"sub/missing", Kind::Missing, std::nullopt},
        {"doc/below", Kind::Missing, std::nullopt},
        {"missing/below", Kind::Missing, std::nullopt},
        {"", Kind::Other, std::nullopt},
        {".", Kind::Other, std::nullopt},
        {"sub", Kind::Other, std::nullopt},
        {"pipe", Kind::Other, std::nullopt},
        {"out-link", Kind::Other, std::nullopt},
        {"in-link", Kind::Other, std::nullopt},
        {"sub-link/deeper/inner", Kind::Other, std::nullopt},
        {"sub-link/missing", Kind::Other, std::nullopt},
        {"../secret", Kind::Other, std::nullopt},
        {"sub/../doc", Kind::Other, std::nullopt},
        {std::string("doc\0x", 5), Kind::Other, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(root.KindOf(c.name), c.kind) << c.name;
        std::optional<File> file;
        EXPECT_FALSE(WaitedOnAPipe({Root() / "pipe"}, [&] { file = root.OpenForReading(c.name); })) << c.name;
        EXPECT_EQ(file ? std::optional(ReadWhole(*file)) : std::nullopt, c.content) << c.name;
    }
}

TEST_F(FileTest, OpensByPathOnlyRegularFilesAndNeverWaits) {
    const auto path = [&](const char* name) { return (Root() / name).string(); };
    bool opened = false;
    EXPECT_FALSE(WaitedOnAPipe({Root() / "pipe"}, [&] {
        for (const char* name : {"missing", "sub", "pipe", "out-link"}) {
            opened = opened || File::OpenForReading(path(name)).has_value();
            EXPECT_EQ(File::SizeOf(path(name)), std::nullopt) << name;
        }
        // An appender meeting a pipe with no reader is refused instead of waiting for one.
        EXPECT_THAT(FailureText([&] { File::OpenForAppend(path("pipe")); }),
                    ::testing::EndsWith(" : '" + path("pipe") + "'"));
    }));
    EXPECT_FALSE(opened);
    EXPECT_EQ(File::SizeOf(path("doc")), 8);
    EXPECT_EQ(ReadWhole(*File::OpenForReading(path("doc"))), "document");
}

TEST_F(FileTest, CreatingReplacesOnlyRegularFilesAndKeepsNewOnesPrivate) {
    const auto root = OpenRoot();
    ::umask(0);
    auto created = root.Create("sub/new");
    ::umask(022);
    created.Write(Bytes("abc"));
    // A read at an offset leaves the writes going on where they were.
    std::string read(2, '.');
    EXPECT_EQ(created.ReadAt(1, std::span(reinterpret_cast<std::uint8_t*>(read.data()), read.size())), 2u);
    EXPECT_EQ(read, "bc");
    created.Write(Bytes("def"));
    EXPECT_EQ(created.Size(), 6);
    created.Close();
    EXPECT_EQ(ReadAll(Root() / "sub" / "new"), "abcdef");
    EXPECT_EQ(fs::status(Root() / "sub" / "new").permissions(), fs::perms::owner_read | fs::perms::owner_write);

    // An existing file is emptied, not appended to.
    auto again = root.Create("doc");
    EXPECT_EQ(again.Size(), 0);
    again.Write(Bytes("x"));
    again.Close();
    EXPECT_EQ(ReadAll(Root() / "doc"), "x");

    const std::string shown = Root().string();
    const struct {
        std::string name;
        std::string failure;
    } refused[] = {
        {"out-link", "Too many levels of symbolic links : '" + shown + "/out-link'"},
        {"sub-link/new", "UnauthorizedAccess_IODenied_Path, " + shown + "/sub-link/new"},
        {"pipe", "UnauthorizedAccess_IODenied_Path, " + shown + "/pipe"},
        {"sub", "UnauthorizedAccess_IODenied_Path, " + shown + "/sub"},
        {"missing/new", "IO_PathNotFound_Path, " + shown + "/missing/new"},
    };
    for (const auto& c : refused) {
        EXPECT_FALSE(WaitedOnAPipe({Root() / "pipe"}, [&] {
            EXPECT_EQ(FailureText([&] { root.Create(c.name); }), c.failure) << c.name;
        })) << c.name;
    }
    EXPECT_EQ(ReadAll(tmp.Path() / "secret"), "secret");
    EXPECT_FALSE(fs::exists(Root() / "sub" / "new-link"));
    EXPECT_THROW(root.Create(std::string("a\0b", 3)), Platform::ArgumentFailure);
}

TEST_F(FileTest, ReadsAtAnyOffsetAndStopsAtTheEnd) {
    auto file = *File::OpenForReading((Root() / "doc").string());
    ExpectReadsAtAnyOffset(file);
    // The length is asked anew: a file that grows is read further.
    WriteAll(Root() / "doc", "document and more");
    EXPECT_EQ(file.Size(), 17);
}

TEST_F(FileTest, AppendsLandAtTheEndWhoeverWroteLast) {
    const auto path = (Root() / "log").string();
    auto first = File::OpenForAppend(path);
    auto second = File::OpenForAppend(path);
    first.Write(Bytes("one\r\n"));
    second.Write(Bytes("two\r\n"));
    first.Write(Bytes("three\r\n"));
    // A reader may open the file while it is written.
    EXPECT_EQ(ReadWhole(*File::OpenForReading(path)), "one\r\ntwo\r\nthree\r\n");
    first.Close();
    second.Close();

    File::Truncate(path);
    EXPECT_EQ(File::SizeOf(path), 0);
    File::Truncate((Root() / "fresh").string());
    EXPECT_EQ(File::SizeOf((Root() / "fresh").string()), 0);
    EXPECT_THROW(File::Truncate((Root() / "out-link").string()), Platform::IoFailure);
    EXPECT_EQ(ReadAll(tmp.Path() / "secret"), "secret");
}

TEST_F(FileTest, RemovesLinksNeverTheirTargets) {
    const auto root = OpenRoot();
    EXPECT_TRUE(root.Remove("out-link"));
    EXPECT_TRUE(File::Remove((Root() / "in-link").string()));
    EXPECT_FALSE(root.Remove("out-link"));
    EXPECT_FALSE(File::Remove((Root() / "missing").string()));
    EXPECT_FALSE(root.Remove("missing/below"));
    EXPECT_TRUE(root.Remove("sub/deeper/inner"));
    EXPECT_THROW(root.Remove("sub-link/deeper"), Platform::IoFailure);
    EXPECT_THROW(root.Remove("sub"), Platform::IoFailure);
    EXPECT_EQ(ReadAll(tmp.Path() / "secret"), "secret");
    EXPECT_EQ(ReadAll(Root() / "doc"), "document");
    EXPECT_FALSE(fs::exists(fs::symlink_status(Root() / "out-link")));
}

TEST_F(FileTest, RemovingATreeRemovesLinksNeverTheirTargets) {
    fs::create_directories(tmp.Path() / "outside");
    WriteAll(tmp.Path() / "outside" / "kept", "kept");
    fs::create_directory_symlink(tmp.Path() / "outside", Root() / "sub" / "outside-link");
    EXPECT_TRUE(Folder::RemoveTree(Root().string()));
    EXPECT_FALSE(fs::exists(fs::symlink_status(Root())));
    EXPECT_EQ(ReadAll(tmp.Path() / "outside" / "kept"), "kept");
    EXPECT_EQ(ReadAll(tmp.Path() / "secret"), "secret");
    EXPECT_FALSE(Folder::RemoveTree(Root().string()));
    // A link standing at the path goes itself.
    fs::create_directory_symlink(tmp.Path() / "outside", Root());
    EXPECT_TRUE(Folder::RemoveTree(Root().string()));
    EXPECT_EQ(ReadAll(tmp.Path() / "outside" / "kept"), "kept");
}

TEST_F(FileTest, AnOpenFolderKeepsItsEntriesWhenItsPathIsTakenOver) {
    const auto root = OpenRoot();
    fs::rename(Root(), tmp.Path() / "moved");
    fs::create_directory(Root());
    WriteAll(Root() / "doc", "planted");
    EXPECT_EQ(ReadWhole(*root.OpenForReading("doc")), "document");
    root.Create("made").Close();
    EXPECT_TRUE(fs::exists(tmp.Path() / "moved" / "made"));
    EXPECT_FALSE(fs::exists(Root() / "made"));
}

TEST_F(FileTest, APrivateFolderIsAFolderOfThisUserThatNoOneElseMayWrite) {
    EXPECT_FALSE(Folder::Open((Root() / "missing").string()));
    EXPECT_FALSE(Folder::Open((Root() / "doc").string()));
    EXPECT_FALSE(Folder::Open((Root() / "sub-link").string()));

    ::umask(0);
    Folder::CreatePrivate((Root() / "a" / "b" / "private").string());
    ::umask(022);
    EXPECT_EQ(fs::status(Root() / "a" / "b" / "private").permissions(), fs::perms::owner_all);
    EXPECT_TRUE(Folder::Open((Root() / "a" / "b" / "private").string())->IsPrivate());
    // One already there is left as it is, to be judged when opened.
    fs::permissions(Root() / "a" / "b" / "private", fs::perms::all);
    EXPECT_NO_THROW(Folder::CreatePrivate((Root() / "a" / "b" / "private").string()));
    EXPECT_FALSE(Folder::Open((Root() / "a" / "b" / "private").string())->IsPrivate());
    EXPECT_THROW(Folder::CreatePrivate((Root() / "doc").string()), Platform::IoFailure);
    EXPECT_THROW(Folder::CreatePrivate((Root() / "sub-link").string()), Platform::IoFailure);

    const struct {
        fs::perms perms;
        bool isPrivate;
    } modes[] = {
        {fs::perms::owner_all, true},
        {fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
             fs::perms::others_exec,
         true},
        {fs::perms::owner_all | fs::perms::group_write, false},
        {fs::perms::owner_all | fs::perms::others_write, false},
        {fs::perms::all | fs::perms::sticky_bit, false},
    };
    for (const auto& m : modes) {
        fs::permissions(Root() / "sub", m.perms);
        EXPECT_EQ(Folder::Open((Root() / "sub").string())->IsPrivate(), m.isPrivate) << static_cast<int>(m.perms);
    }
    if (::geteuid() == 0) {
        fs::permissions(Root() / "sub", fs::perms::owner_all);
        ASSERT_EQ(::chown((Root() / "sub").c_str(), 65534, 65534), 0);
        EXPECT_FALSE(Folder::Open((Root() / "sub").string())->IsPrivate());
    }
}

}  // namespace
}  // namespace Quillmark::Tests
