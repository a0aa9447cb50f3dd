#include "Common/Utils.hpp"

#include "Platform/Encoding/Base64.hpp"
#include "Platform/Failure.hpp"
#include "tests/common/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

using Quillmark::Common::Utils;
using Quillmark::Tests::ReadAll;
using Quillmark::Tests::ScopedVariable;
using Quillmark::Tests::TempFolder;
using Quillmark::Tests::WriteAll;
namespace fs = std::filesystem;

TEST(UtilsTest, SplitsTheVersionAtTheLastPlus) {
    const std::string commit = "0123456789abcdef0123456789abcdef01234567";
    struct Case { std::string full; std::string version; std::string commit; };
    const Case cases[] = {
        {"v1.0.1+" + commit, "v1.0.1", commit},
        {"v1.0.1+build+abc", "v1.0.1+build", "abc"},
        {"+abc", "", "abc"},
        {"v1.0.1", "", ""},
        {"v1.0.1+", "", ""},
        {"", "", ""},
        {" v1 + x ", " v1 ", " x "},
    };
    for (const auto& c : cases) {
        auto [version, hash] = Utils::SplitVersion(c.full);
        EXPECT_EQ(version, c.version) << c.full;
        EXPECT_EQ(hash, c.commit) << c.full;
    }
}

TEST(UtilsTest, VersionTextMissingOrBlankIsEmpty) {
    EXPECT_EQ(Utils::VersionTextOf(nullptr), "");
    EXPECT_EQ(Utils::VersionTextOf(""), "");
    EXPECT_EQ(Utils::VersionTextOf(" \t\r\n"), "");
    EXPECT_EQ(Utils::VersionTextOf(" v1.0.1+abc "), " v1.0.1+abc ");
}

TEST(UtilsTest, BuildVersionNamesThisRelease) {
    auto full = Utils::GetAppVersionFull();
    auto commit = Utils::GetCommitHash();
    // A build outside a git checkout has no commit identifier: "v1.0.1+" names no version either.
    EXPECT_EQ(Utils::GetAppVersion(), commit.empty() ? "" : "v1.0.1");
    if (!commit.empty()) {
        EXPECT_EQ(commit.size(), 40u);
        EXPECT_TRUE(std::all_of(commit.begin(), commit.end(),
                                [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }));
        EXPECT_EQ(full, "v1.0.1+" + commit);
    }
}

TEST(UtilsTest, VerboseOnlyForExactlyOne) {
    struct Case { const char* value; bool enabled; };
    const Case cases[] = {{"1", true}, {" 1", false}, {"1 ", false}, {"01", false},
                          {"true", false}, {"", false}, {nullptr, false}};
    for (const auto& c : cases) {
        ScopedVariable verbose("QUILLMARK_VERBOSE_LOGGING", c.value);
        EXPECT_EQ(Utils::IsVerboseLoggingEnabled(), c.enabled) << (c.value ? c.value : "(unset)");
    }
}

TEST(UtilsTest, RandomStringDrawsFromTheAlphabet) {
    EXPECT_EQ(Utils::RandomString(0), "");
    EXPECT_THROW(Utils::RandomString(-1), Quillmark::Platform::ArgumentOutOfRangeFailure);
    std::set<char> seen;
    for (int i = 0; i < 200; ++i) {
        auto text = Utils::RandomString(16);
        ASSERT_EQ(text.size(), 16u);
        for (char c : text) {
            ASSERT_TRUE((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) << text;
            seen.insert(c);
        }
    }
    // 3200 draws miss one of 36 symbols with a chance far below one in a billion.
    EXPECT_EQ(seen.size(), 36u);
}

TEST(UtilsTest, RandomStringIsSafeFromManyThreads) {
    std::vector<std::thread> threads;
    std::vector<std::set<std::string>> names(8);
    for (auto& mine : names) {
        threads.emplace_back([&mine] {
            for (int i = 0; i < 500; ++i) mine.insert(Utils::RandomString(16));
        });
    }
    for (auto& t : threads) t.join();
    std::set<std::string> all;
    for (auto& mine : names) all.insert(mine.begin(), mine.end());
    EXPECT_EQ(all.size(), 8u * 500u);
}

TEST(UtilsTest, ToHexBase64) {
    EXPECT_EQ(Utils::ToHexBase64("abc"), "59574A6A");
    EXPECT_EQ(Utils::ToHexBase64(""), "");
    EXPECT_EQ(Utils::ToHexBase64("ab"), "5957493D");
    const std::string text = "[x] \"q\" \r\n t\xE1\xBA\xA1i \xF0\x9F\x93\x84";
    auto hex = Utils::ToHexBase64(text);
    EXPECT_EQ(hex.size(), (text.size() + 2) / 3 * 8);
    EXPECT_EQ(hex.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    std::string base64;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        base64 += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    auto bytes = Quillmark::Platform::Encoding::Base64::Decode(base64);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), text);
}

class PrepareTempDirTest : public ::testing::Test {
protected:
    TempFolder tmp;
    ScopedVariable tmpdir{"TMPDIR", tmp.Path().c_str()};
    fs::path folder = tmp.Path() / "Quillmark";
    fs::path fallback = tmp.Path() / ("Quillmark-" + std::to_string(::geteuid()));

    // What the listeners would open now.
    std::string InUse() const {
        auto opened = Utils::OpenTempDir();
        return opened ? opened->Path() : "<none>";
    }
};

TEST_F(PrepareTempDirTest, EmptiesAndRecreatesTheFolder) {
    auto outcome = Utils::PrepareTempDir();
    EXPECT_EQ(outcome.Folder, folder.string());
    EXPECT_FALSE(outcome.UsualRefused);
    EXPECT_TRUE(fs::is_directory(folder));
    WriteAll(folder / "old.pdf", "x");
    WriteAll(folder / "deep" / "er" / "file", "y");
    Utils::PrepareTempDir();
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_TRUE(fs::is_empty(folder));
    EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all);
    EXPECT_EQ(InUse(), folder.string());
    EXPECT_FALSE(fs::exists(fallback));
}

TEST_F(PrepareTempDirTest, CreatesMissingParents) {
    TempFolder other;
    ScopedVariable nested("TMPDIR", (other.Path() / "a" / "b").c_str());
    Utils::PrepareTempDir();
    EXPECT_TRUE(fs::is_directory(other.Path() / "a" / "b" / "Quillmark"));
}

// Whatever stands at the usual place and is not a folder of this user alone is left exactly
// as it is (another user may read, replace and plant links in it), and the per-user fallback,
// itself made private, is used by start-up and listeners alike.
TEST_F(PrepareTempDirTest, AFolderNotThisUsersAloneIsLeftAndTheFallbackUsed) {
    const struct {
        const char* what;
        void (*make)(const fs::path& usual, const fs::path& root);
    } cases[] = {
        {"a plain file",
         [](const fs::path& usual, const fs::path&) { WriteAll(usual, "not a folder"); }},
        {"a folder others may write",
         [](const fs::path& usual, const fs::path&) {
             WriteAll(usual / "planted.pdf", "planted");
             fs::permissions(usual, fs::perms::all | fs::perms::sticky_bit);
         }},
        {"a link to a folder of this user",
         [](const fs::path& usual, const fs::path& root) {
             WriteAll(root / "elsewhere" / "planted.pdf", "planted");
             fs::permissions(root / "elsewhere", fs::perms::owner_all);
             fs::create_directory_symlink(root / "elsewhere", usual);
         }},
        {"a folder of another user",
         [](const fs::path& usual, const fs::path&) {
             WriteAll(usual / "planted.pdf", "planted");
             fs::permissions(usual, fs::perms::owner_all);
             if (::lchown(usual.c_str(), 65534, 65534) != 0) throw std::runtime_error("lchown");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (std::string_view(c.what) == "a folder of another user" && ::geteuid() != 0) {
            std::printf("not running as root: no folder of another user can be made, so that case is skipped\n");
            continue;
        }
        fs::remove_all(folder);
        fs::remove_all(tmp.Path() / "elsewhere");
        c.make(folder, tmp.Path());
        const auto before = fs::symlink_status(folder);
        WriteAll(fallback / "stale.pdf", "from an earlier start");

        const auto outcome = Utils::PrepareTempDir();
        EXPECT_EQ(outcome.Folder, fallback.string());
        EXPECT_TRUE(outcome.UsualRefused);
        EXPECT_EQ(InUse(), fallback.string());
        EXPECT_TRUE(fs::is_empty(fallback));
        EXPECT_EQ(fs::status(fallback).permissions(), fs::perms::owner_all);

        const auto after = fs::symlink_status(folder);
        EXPECT_EQ(after.type(), before.type());
        EXPECT_EQ(after.permissions(), before.permissions());
        const auto planted = fs::is_regular_file(folder) ? folder : folder / "planted.pdf";
        EXPECT_TRUE(ReadAll(planted) == "planted" || ReadAll(planted) == "not a folder");
    }
}

TEST_F(PrepareTempDirTest, NoFolderIsUsedWhenTheFallbackIsNotThisUsersAloneEither) {
    WriteAll(folder, "not a folder");
    WriteAll(fallback / "planted.pdf", "planted");
    fs::permissions(fallback, fs::perms::all);
    const auto outcome = Utils::PrepareTempDir();
    EXPECT_EQ(outcome.Folder, "");
    EXPECT_TRUE(outcome.UsualRefused);
    EXPECT_EQ(InUse(), "<none>");
    EXPECT_EQ(ReadAll(fallback / "planted.pdf"), "planted");

    // A folder that becomes private later is used from then on, as start-up would have.
    fs::permissions(fallback, fs::perms::owner_all);
    EXPECT_EQ(InUse(), fallback.string());
}

namespace {
// Runs the body as an unprivileged user when this test runs as root, since root may delete
// from a read-only folder; the tree is handed to that user first. Answers the body's result.
bool AsUnprivilegedUser(const fs::path& tree, bool (*body)()) {
    if (::geteuid() != 0) return body();
    constexpr uid_t nobody = 65534;
    for (const auto& entry : fs::recursive_directory_iterator(tree)) {
        if (::lchown(entry.path().c_str(), nobody, nobody) != 0) return false;
    }
    if (::lchown(tree.c_str(), nobody, nobody) != 0) return false;
    pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(nobody) != 0 || ::setuid(nobody) != 0) ::_exit(2);
        ::_exit(body() ? 0 : 1);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
}  // namespace

TEST_F(PrepareTempDirTest, UnremovableEntryLeavesTheRestAsDeletionLeftIt) {
    const auto locked = folder / "locked";
    WriteAll(locked / "kept.pdf", "x");
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_TRUE(AsUnprivilegedUser(tmp.Path(), [] {
        try {
            Utils::PrepareTempDir();
            return true;
        } catch (...) {
            return false;
        }
    }));
    EXPECT_TRUE(fs::exists(locked / "kept.pdf"));
    fs::permissions(locked, fs::perms::owner_all);
}

TEST(UtilsTest, DataDirFromRoamingFolderThenAppDataThenWorkingDirectory) {
    TempFolder home;
    ScopedVariable xdg("XDG_CONFIG_HOME", (home.Path() / "cfg").c_str());
    EXPECT_EQ(Utils::GetDataDir(), (home.Path() / "cfg" / "Quillmark").string());
    EXPECT_TRUE(fs::is_directory(home.Path() / "cfg" / "Quillmark"));

    ScopedVariable noXdg("XDG_CONFIG_HOME", nullptr);
    ScopedVariable noHome("HOME", nullptr);
    ScopedVariable appData("APPDATA", (home.Path() / "roaming").c_str());
    EXPECT_EQ(Utils::GetDataDir(), (home.Path() / "roaming" / "Quillmark").string());

    ScopedVariable noAppData("APPDATA", nullptr);
    auto previous = fs::current_path();
    fs::current_path(home.Path());
    auto relative = Utils::GetDataDir();
    fs::current_path(previous);
    EXPECT_EQ(relative, "Quillmark");
    EXPECT_TRUE(fs::is_directory(home.Path() / "Quillmark"));
}

TEST(UtilsTest, DataDirThatCannotBeCreatedReachesTheCaller) {
    TempFolder home;
    WriteAll(home.Path() / "file", "x");
    ScopedVariable xdg("XDG_CONFIG_HOME", (home.Path() / "file").c_str());
    EXPECT_THROW(Utils::GetDataDir(), Quillmark::Platform::IoFailure);
}

TEST(UtilsTest, CurrentDirIsTheExecutablesFolder) {
    auto dir = Utils::GetCurrentDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(fs::canonical(dir), fs::canonical("/proc/self/exe").parent_path());
}

namespace {
std::string existingFolder;
std::string Missing() { return existingFolder + "/gone"; }
std::string Existing() { return existingFolder; }
std::string Empty() { return {}; }
std::string PlainFile() { return existingFolder + "/file"; }
std::string Refusing() { throw Quillmark::Platform::IoFailure("main module"); }
}  // namespace

TEST(UtilsTest, CurrentDirTakesTheFirstCandidateNamingAnExistingFolder) {
    TempFolder folder;
    WriteAll(folder.Path() / "file", "x");
    existingFolder = folder.Path().string();
    // A candidate after the one chosen is never asked, so its failure cannot surface.
    EXPECT_EQ(Utils::FirstExistingFolder({&Missing, &Existing, &Refusing}), existingFolder);
    EXPECT_EQ(Utils::FirstExistingFolder({&Empty, &PlainFile, &Existing}), existingFolder);
    EXPECT_EQ(Utils::FirstExistingFolder({&Missing, &Empty, &PlainFile}), "");
    EXPECT_THROW(Utils::FirstExistingFolder({&Missing, &PlainFile, &Refusing}), Quillmark::Platform::IoFailure);
}
