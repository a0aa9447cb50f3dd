#include "Common/Utils.hpp"

#include "Platform/Encoding/Base64.hpp"
#include "Platform/Encoding/Hex.hpp"
#include "Platform/Environment.hpp"
#include "Platform/Failure.hpp"
#include "Platform/Path.hpp"

#include <filesystem>
#include <mutex>
#include <random>
#include <system_error>

namespace Quillmark::Common::BuildInfo {
extern const char* const InformationalVersion;
}

namespace Quillmark::Common {

namespace Env = Platform::Environment;
namespace Path = Platform::Path;

namespace {
constexpr std::string_view Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr std::string_view VerboseVariable = "QUILLMARK_VERBOSE_LOGGING";

bool IsBlank(std::string_view text) {
    return text.find_first_not_of(" \t\n\v\f\r") == std::string_view::npos;
}

bool IsExistingFolder(const std::string& path) {
    if (path.empty()) return false;
    std::error_code ignored;
    return std::filesystem::is_directory(Path::ToFsPath(path), ignored);
}
}  // namespace

namespace {
// The folder at the path, opened, when it is this user's alone; any failure counts as not.
std::optional<Platform::Folder> OpenPrivate(const std::string& path) noexcept {
    try {
        auto folder = Platform::Folder::Open(path);
        if (folder && folder->IsPrivate()) return folder;
    } catch (...) {
    }
    return std::nullopt;
}

// Empties and re-creates one candidate; answers whether it is then this user's alone.
bool Prepare(const std::string& path) {
    try {
        if (auto existing = Platform::Folder::Open(path)) {
            // What others can write into is not ours to empty: deleting through it could be
            // steered at files elsewhere.
            if (!existing->IsPrivate()) return false;
            existing.reset();
            Platform::Folder::RemoveTree(path);
        }
        Platform::Folder::CreatePrivate(path);
    } catch (...) {
        // The folder stays as the failure left it, and is judged as it is.
    }
    return OpenPrivate(path).has_value();
}
}  // namespace

Utils::TempDirOutcome Utils::PrepareTempDir() {
    TempDirOutcome outcome;
    for (const auto& candidate : TempDirCandidates()) {
        if (Prepare(candidate)) {
            outcome.Folder = candidate;
            return outcome;
        }
        outcome.UsualRefused = true;
    }
    return outcome;
}

std::vector<std::string> Utils::TempDirCandidates() {
    const auto temp = Env::GetTempPath();
    return {Path::Join(temp, ProductFolderName),
            Path::Join(temp, std::string(ProductFolderName) + "-" + Env::GetUserId())};
}

std::optional<Platform::Folder> Utils::OpenTempDir() {
    for (const auto& candidate : TempDirCandidates()) {
        if (auto folder = OpenPrivate(candidate)) return folder;
    }
    return std::nullopt;
}

std::string Utils::GetDataDir() {
    auto roaming = Env::GetRoamingAppDataFolder();
    if (!roaming) roaming = Env::GetVariable("APPDATA");
    auto folder = Path::Join(roaming.value_or(""), ProductFolderName);
    std::error_code error;
    std::filesystem::create_directories(Path::ToFsPath(folder), error);
    if (error) {
        throw Platform::IoFailure(Platform::PlatformText("IO_PathNotCreated", {folder, error.message()}));
    }
    return folder;
}

std::string Utils::GetCurrentDir() {
    return FirstExistingFolder({&Env::GetBaseDirectory,
                                [] { return Path::GetDirectoryName(Env::GetExecutablePath()); },
                                [] { return Path::GetDirectoryName(Env::GetMainModuleFileName()); }});
}

std::string Utils::FirstExistingFolder(std::initializer_list<std::string (*)()> candidates) {
    for (auto candidate : candidates) {
        auto folder = candidate();
        if (IsExistingFolder(folder)) return folder;
    }
    return {};
}

bool Utils::IsVerboseLoggingEnabled() {
    auto value = Env::GetVariable(VerboseVariable);
    return value && *value == "1";
}

std::string Utils::VersionTextOf(const char* informationalVersion) {
    if (informationalVersion == nullptr || IsBlank(informationalVersion)) return {};
    return informationalVersion;
}

std::pair<std::string, std::string> Utils::SplitVersion(std::string_view fullVersion) {
    auto plus = fullVersion.rfind('+');
    if (plus == std::string_view::npos || plus + 1 == fullVersion.size()) return {};
    return {std::string(fullVersion.substr(0, plus)), std::string(fullVersion.substr(plus + 1))};
}

std::string Utils::GetAppVersionFull() { return VersionTextOf(BuildInfo::InformationalVersion); }

std::string Utils::GetAppVersion() { return SplitVersion(GetAppVersionFull()).first; }

std::string Utils::GetCommitHash() { return SplitVersion(GetAppVersionFull()).second; }

std::string Utils::RandomString(std::int32_t count) {
    if (count < 0) throw Platform::ArgumentOutOfRangeFailure("length", "ArgumentOutOfRange_NeedNonNegNum");
    // One process-wide generator, shared by every thread.
    static std::mutex guard;
    static std::mt19937_64 generator{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, Alphabet.size() - 1);
    std::string text(static_cast<std::size_t>(count), '\0');
    std::lock_guard lock(guard);
    for (auto& symbol : text) symbol = Alphabet[pick(generator)];
    return text;
}

std::string Utils::ToHexBase64(std::string_view text) {
    const auto base64 = Platform::Encoding::Base64::Encode(
        {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    return Platform::Encoding::Hex::ToUpper(
        {reinterpret_cast<const std::uint8_t*>(base64.data()), base64.size()});
}

}  // namespace Quillmark::Common
