#pragma once
// Where the daemon keeps its files, the verbose-logging switch, the build's version texts,
// random names and the crash-report text encoding. Holds no state: every answer is computed
// anew at each call.

#include "Platform/File/Folder.hpp"

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Quillmark::Common {

class Utils {
public:
    // Both the temporary folder and the data folder bear this name.
    static constexpr std::string_view ProductFolderName = "Quillmark";

    // Where PrepareTempDir left the temporary folder.
    struct TempDirOutcome {
        // The folder in use; empty when no candidate could be made a folder of this user alone.
        std::string Folder;
        // True when the usual folder could not be used, so the fallback (or none) is in use.
        bool UsualRefused = false;
    };

    // Empties and re-creates the temporary folder; absorbs every folder failure. A folder
    // that is not this user's alone is left untouched and the next candidate is taken.
    static TempDirOutcome PrepareTempDir();
    // The places the temporary folder may be, in order: the usual one (the temporary directory
    // joined with the product folder name), then the per-user fallback (that name, "-" and the
    // user's id, in the same directory).
    static std::vector<std::string> TempDirCandidates();
    // The temporary folder in use, opened: the first candidate that is a folder of this user
    // alone; nothing when none is. Asked anew at each call, so every user agrees with
    // PrepareTempDir.
    static std::optional<Platform::Folder> OpenTempDir();
    // The data folder's full path, created when missing.
    static std::string GetDataDir();
    // The application directory, or the empty text.
    static std::string GetCurrentDir();
    // The first candidate that is non-empty and names an existing folder, else the empty text.
    // A candidate is asked only when those before it did not qualify; its failure reaches the caller.
    static std::string FirstExistingFolder(std::initializer_list<std::string (*)()> candidates);
    // True only when QUILLMARK_VERBOSE_LOGGING is exactly "1", read at every call.
    static bool IsVerboseLoggingEnabled();
    // The build's version text ("v1.0.1+<commit>"), or the empty text.
    static std::string GetAppVersionFull();
    // The part before the last "+", or the empty text.
    static std::string GetAppVersion();
    // The part after the last "+", or the empty text.
    static std::string GetCommitHash();
    // count symbols drawn uniformly from A-Z and 0-9; a negative count is out of range.
    static std::string RandomString(std::int32_t count);
    // The build's recorded text as GetAppVersionFull answers it: empty when missing or blank.
    static std::string VersionTextOf(const char* informationalVersion);
    // A version text split at its last "+" into version and commit; both empty when there is
    // no "+" or the text ends with it.
    static std::pair<std::string, std::string> SplitVersion(std::string_view fullVersion);
    // UTF-8, then Base64, then upper-case hexadecimal of the Base64 text's bytes.
    static std::string ToHexBase64(std::string_view text);
};

}  // namespace Quillmark::Common
