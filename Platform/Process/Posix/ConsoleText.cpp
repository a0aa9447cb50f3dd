#include "Platform/Process/ConsoleText.hpp"

#include <cerrno>
#include <cstdlib>
#include <iconv.h>

namespace Quillmark::Platform::Process {

std::string ConsoleText::OutputCodeset() {
    // The first of these that is set and non-empty names the locale, as the C library reads it.
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0') continue;
        std::string_view locale(value);
        const auto dot = locale.find('.');
        if (dot == std::string_view::npos) return "UTF-8";
        auto codeset = locale.substr(dot + 1);
        codeset = codeset.substr(0, codeset.find('@'));
        return codeset.empty() ? std::string("UTF-8") : std::string(codeset);
    }
    return "UTF-8";
}

std::optional<std::string> ConsoleText::ConvertToUtf8(std::span<const std::uint8_t> bytes, std::string_view codeset) {
    iconv_t converter = iconv_open("UTF-8", std::string(codeset).c_str());
    if (converter == reinterpret_cast<iconv_t>(-1)) return std::nullopt;

    std::string out;
    out.reserve(bytes.size() * 2 + 16);
    char* in = const_cast<char*>(reinterpret_cast<const char*>(bytes.data()));
    std::size_t inLeft = bytes.size();
    char buffer[4096];
    while (inLeft > 0) {
        char* outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        const std::size_t result = iconv(converter, &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
        if (result != static_cast<std::size_t>(-1)) continue;
        if (errno == E2BIG) continue;
        // An unconvertible byte, or a sequence cut off at the end.
        out.append("\xEF\xBF\xBD");
        if (errno == EINVAL) break;
        ++in;
        --inLeft;
    }
    char* outPtr = buffer;
    std::size_t outLeft = sizeof buffer;
    iconv(converter, nullptr, nullptr, &outPtr, &outLeft);  // the closing shift of stateful code sets
    out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
    iconv_close(converter);
    return out;
}

}  // namespace Quillmark::Platform::Process
