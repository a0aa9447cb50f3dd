#include "Platform/Json/JsonObject.hpp"

#include "Platform/Failure.hpp"
#include "Platform/Json/JsonWriter.hpp"

#include <unordered_set>

namespace Quillmark::Platform::Json {

void JsonObject::CheckUnique() const {
    if (duplicate_ == std::string::npos) {
        duplicate_ = members_.size();
        constexpr std::size_t SmallObject = 16;
        if (members_.size() <= SmallObject) {
            for (std::size_t i = 1; i < members_.size() && duplicate_ == members_.size(); ++i)
                for (std::size_t j = 0; j < i; ++j)
                    if (members_[j].first == members_[i].first) {
                        duplicate_ = i;
                        break;
                    }
        } else {
            std::unordered_set<std::string_view> seen;
            seen.reserve(members_.size());
            for (std::size_t i = 0; i < members_.size(); ++i)
                if (!seen.insert(members_[i].first).second) {
                    duplicate_ = i;
                    break;
                }
        }
    }
    if (duplicate_ != members_.size())
        throw ArgumentFailure(PlatformText("Argument_AddingDuplicate", {members_[duplicate_].first}), "key");
}

const JsonNode* JsonObject::Find(std::string_view name) const {
    CheckUnique();
    for (const Member& member : members_)
        if (member.first == name) return member.second.Kind() == JsonValueKind::Null ? nullptr : &member.second;
    return nullptr;
}

bool JsonObject::Contains(std::string_view name) const {
    CheckUnique();
    for (const Member& member : members_)
        if (member.first == name) return true;
    return false;
}

void JsonObject::Add(std::string name, JsonNode value) {
    members_.emplace_back(std::move(name), std::move(value));
    duplicate_ = std::string::npos;
}

std::string JsonObject::ToJsonString() const {
    std::string out;
    WriteTo(out);
    return out;
}

void JsonObject::WriteTo(std::string& out) const {
    out.push_back('{');
    bool first = true;
    for (const Member& member : members_) {
        if (!first) out.push_back(',');
        first = false;
        JsonWriter::AppendString(member.first, out);
        out.push_back(':');
        member.second.WriteTo(out);
    }
    out.push_back('}');
}

}  // namespace Quillmark::Platform::Json
