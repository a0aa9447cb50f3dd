#pragma once
// Where the daemon keeps its files, the verbose-logging switch, the build's version texts,
// random names and the crash-report text encoding. Holds no state: every answer is computed
// anew at each call.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace Quillmark::Common {

class Utils {
public:
    // Both the temporary folder and the data folder bear this name.
    static constexpr std::string_view ProductFolderName = "Quillmark";

    // Empties and re-creates the temporary folder; absorbs every folder failure.
    static void PrepareTempDir();
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
