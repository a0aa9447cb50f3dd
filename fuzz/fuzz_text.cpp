// The shared text rules against deliberately plain readings written another way, so that a
// fault in the rule is not shared by its check. Integers: the text is cut into blanks, sign and
// digits first, the digits compared as text against the bound's digits, and only then turned
// into a number by the C library. Letter case: letters looked up in the alphabet.
#include "Platform/Text/Ascii.hpp"
#include "Platform/Text/Integer.hpp"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

namespace {

using namespace Quillmark::Platform::Text;

// highest and lowest as decimal texts; lowest begins with "-" unless it is "0".
std::optional<long long> NaiveInteger(const std::string& text, const std::string& lowest, const std::string& highest) {
    const std::string blanks = " \t\n\v\f\r";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::nullopt;
    std::string core = text.substr(first, text.find_last_not_of(blanks) - first + 1);
    char sign = '+';
    if (core[0] == '+' || core[0] == '-') {
        sign = core[0];
        core.erase(0, 1);
    }
    if (core.empty() || core.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    core.erase(0, core.find_first_not_of('0'));
    const std::string digits = core.empty() ? "0" : core;

    std::string bound = highest;
    if (sign == '-') {
        if (digits == "0") return 0;
        if (lowest[0] != '-') return std::nullopt;
        bound = lowest.substr(1);
    }
    if (digits.size() > bound.size() || (digits.size() == bound.size() && digits > bound)) return std::nullopt;
    return std::strtoll((std::string(1, sign) + digits).c_str(), nullptr, 10);
}

std::string Folded(std::string text) {
    const std::string upper = "ABCDEFGHIJKLMNOPQRSTUVWXYZ", lower = "abcdefghijklmnopqrstuvwxyz";
    for (auto& c : text)
        if (const auto at = upper.find(c); at != std::string::npos) c = lower[at];
    return text;
}

template <class T>
void CheckInteger(const std::string& text, const std::string& lowest, const std::string& highest) {
    const auto parsed = ParseInteger<T>(text);
    const auto naive = NaiveInteger(text, lowest, highest);
    if (parsed.has_value() != naive.has_value() || (parsed && static_cast<long long>(*parsed) != *naive)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CheckInteger<std::uint16_t>(text, "0", "65535");
    CheckInteger<std::int32_t>(text, "-2147483648", "2147483647");
    CheckInteger<std::int64_t>(text, "-9223372036854775808", "9223372036854775807");

    // The first byte splits the rest into the two texts compared.
    if (size == 0) return 0;
    const std::string rest = text.substr(1);
    const std::size_t cut = data[0] % (rest.size() + 1);
    const std::string a = rest.substr(0, cut), b = rest.substr(cut);
    const std::string foldedA = Folded(a), foldedB = Folded(b);
    if (EqualsIgnoreCase(a, b) != (foldedA == foldedB)) std::abort();
    if (StartsWithIgnoreCase(a, b) != (foldedA.compare(0, foldedB.size(), foldedB) == 0 && a.size() >= b.size()))
        std::abort();
    if (EndsWithIgnoreCase(a, b) !=
        (a.size() >= b.size() && foldedA.compare(a.size() - b.size(), b.size(), foldedB) == 0))
        std::abort();
    return 0;
}
