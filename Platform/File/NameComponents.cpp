#include "Platform/File/NameComponents.hpp"

namespace Quillmark::Platform {

std::optional<std::vector<std::string_view>> NameComponents::Split(std::string_view name, std::string_view separators,
                                                                   std::string_view refused) {
    if (name.find('\0') != std::string_view::npos) return std::nullopt;
    std::vector<std::string_view> components;
    for (std::size_t start = 0; start <= name.size();) {
        auto end = name.find_first_of(separators, start);
        if (end == std::string_view::npos) end = name.size();
        const auto component = name.substr(start, end - start);
        if (component == ".." || component.find_first_of(refused) != std::string_view::npos) return std::nullopt;
        if (!component.empty() && component != ".") components.push_back(component);
        start = end + 1;
    }
    return components;
}

}  // namespace Quillmark::Platform
