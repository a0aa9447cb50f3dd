#include "Daemon/Infrastructure/LogMessage.hpp"

#include "Platform/Failure.hpp"

namespace Quillmark::Daemon::Infrastructure {

LogMessage::LogMessage(const std::exception_ptr& failure) : text_(Platform::DescribeFailure(failure)) {}

LogMessage::LogMessage(const std::exception& failure) : text_(Platform::DescribeFailure(failure)) {}

std::string ToValidUtf8(std::string_view text) {
    constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        unsigned char lead = bytes[i];
        if (lead < 0x80) {
            out += static_cast<char>(lead);
            ++i;
            continue;
        }
        // The shortest well-formed sequences only (no overlongs, no surrogates, nothing past
        // U+10FFFF); each maximal ill-formed part becomes one U+FFFD.
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) length = 2;
        else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        }
        if (length == 0) {
            out += replacement;
            ++i;
            continue;
        }
        std::size_t good = 1;
        while (good < length && i + good < size) {
            unsigned char next = bytes[i + good];
            unsigned char min = good == 1 ? low : 0x80, max = good == 1 ? high : 0xBF;
            if (next < min || next > max) break;
            ++good;
        }
        if (good == length) out.append(text.substr(i, length));
        else out += replacement;
        i += good;
    }
    return out;
}

}  // namespace Quillmark::Daemon::Infrastructure
