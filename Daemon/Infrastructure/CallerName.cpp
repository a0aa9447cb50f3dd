#include "Daemon/Infrastructure/CallerName.hpp"

namespace Quillmark::Daemon::Infrastructure {

namespace {
bool IsIdentifierChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '~' || static_cast<unsigned char>(c) >= 0x80;
}

std::string_view TrimEnd(std::string_view text) {
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

// The position of the bracket that opens the one closing text's last character, or npos.
std::size_t MatchBackwards(std::string_view text, char open, char close) {
    int depth = 0;
    for (std::size_t i = text.size(); i > 0; --i) {
        char c = text[i - 1];
        if (c == close) ++depth;
        else if (c == open && --depth == 0) return i - 1;
    }
    return std::string_view::npos;
}

// "operator" as a whole word in the name part, or npos.
std::size_t FindOperator(std::string_view name) {
    constexpr std::string_view word = "operator";
    for (auto at = name.rfind(word); at != std::string_view::npos;
         at = at == 0 ? std::string_view::npos : name.rfind(word, at - 1)) {
        bool startsWord = at == 0 || !IsIdentifierChar(name[at - 1]);
        bool endsWord = at + word.size() == name.size() || !IsIdentifierChar(name[at + word.size()]);
        if (startsWord && endsWord) return at;
    }
    return std::string_view::npos;
}
}  // namespace

std::string BareFunctionName(std::string_view signature) {
    std::string_view text = signature;
    if (auto with = text.find(" [with "); with != std::string_view::npos) text = text.substr(0, with);
    text = TrimEnd(text);

    // A lambda's body is named after the function it stands in.
    while (!text.empty() && text.back() == '>') {
        auto open = MatchBackwards(text, '<', '>');
        if (open == std::string_view::npos || open < 2 || text.substr(open, 7) != "<lambda" ||
            text.substr(open - 2, 2) != "::") {
            break;
        }
        text = TrimEnd(text.substr(0, open - 2));
    }

    auto close = text.rfind(')');
    if (close == std::string_view::npos) return std::string(signature);
    auto open = MatchBackwards(text.substr(0, close + 1), '(', ')');
    if (open == std::string_view::npos || open == 0) return std::string(signature);
    std::string_view name = TrimEnd(text.substr(0, open));

    if (auto op = FindOperator(name); op != std::string_view::npos) return std::string(name.substr(op));

    if (!name.empty() && name.back() == '>') {
        auto templateOpen = MatchBackwards(name, '<', '>');
        if (templateOpen != std::string_view::npos) name = TrimEnd(name.substr(0, templateOpen));
    }
    auto start = name.size();
    while (start > 0 && IsIdentifierChar(name[start - 1])) --start;
    if (start == name.size()) return std::string(signature);
    return std::string(name.substr(start));
}

}  // namespace Quillmark::Daemon::Infrastructure
