#pragma once
// How both systems' folder walks read a relative name. Stateless; any thread.

#include <optional>
#include <string_view>
#include <vector>

namespace Quillmark::Platform {

class NameComponents {
public:
    // The components of the name, split at any of the separators, without empty ones and ".";
    // nothing when the name holds a NUL, or a component is ".." or holds a refused character.
    static std::optional<std::vector<std::string_view>> Split(std::string_view name, std::string_view separators,
                                                              std::string_view refused = {});
};

}  // namespace Quillmark::Platform
