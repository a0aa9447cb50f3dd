#pragma once
// A JSON object: members in document order, repeated names kept as received. A plain value
// type like JsonNode, and like it used by one thread at a time.

#include "Platform/Json/JsonNode.hpp"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Quillmark::Platform::Json {

class JsonObject {
public:
    using Member = std::pair<std::string, JsonNode>;

    // The member's value; nullptr when the member is absent or JSON null. An object with a
    // repeated member name fails at every lookup: ArgumentFailure(PlatformText(
    // "Argument_AddingDuplicate", {first repeated name in document order}), "key").
    const JsonNode* Find(std::string_view name) const;
    // True when the member is present, null included; fails like Find.
    bool Contains(std::string_view name) const;
    // Appends a member; the name is not checked against those already there.
    void Add(std::string name, JsonNode value);

    const std::vector<Member>& Members() const noexcept { return members_; }
    std::size_t Size() const noexcept { return members_.size(); }

    // Compact JSON with the wire contract's escaping, members in their order.
    std::string ToJsonString() const;
    void WriteTo(std::string& out) const;

private:
    void CheckUnique() const;

    std::vector<Member> members_;
    // Found at the first lookup: npos when unchecked, Size() when every name is unique, else
    // the index of the first member whose name came before.
    mutable std::size_t duplicate_ = std::string::npos;
};

}  // namespace Quillmark::Platform::Json
