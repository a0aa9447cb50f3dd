#include "Platform/Windows/Security.hpp"

#include <sddl.h>

#include <vector>

namespace Quillmark::Platform::Windows {

namespace {

// The token's identifier of the given class, copied into memory kept for the process's life.
PSID TokenSid(HANDLE token, TOKEN_INFORMATION_CLASS what) {
    DWORD size = 0;
    ::GetTokenInformation(token, what, nullptr, 0, &size);
    if (size == 0) return nullptr;
    std::vector<std::byte> buffer(size);
    if (!::GetTokenInformation(token, what, buffer.data(), size, &size)) return nullptr;
    const PSID found = what == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                                         : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
    const DWORD length = ::GetLengthSid(found);
    auto* kept = new std::byte[length];
    if (!::CopySid(length, kept, found)) {
        delete[] kept;
        return nullptr;
    }
    return kept;
}

bool Same(PSID a, PSID b) { return a != nullptr && b != nullptr && ::EqualSid(a, b); }

// Whoever holds one of these may rule the folder anyway, or is the user.
bool IsTrusted(PSID sid) {
    const auto& user = CurrentUser();
    return Same(sid, user.User) || Same(sid, user.DefaultOwner) || ::IsWellKnownSid(sid, WinLocalSystemSid) ||
           ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || ::IsWellKnownSid(sid, WinCreatorOwnerSid) ||
           ::IsWellKnownSid(sid, WinCreatorOwnerRightsSid);
}

// Rights by which someone could put, replace or remove entries, or take the folder over.
constexpr ACCESS_MASK WriteRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                    WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

}  // namespace

const UserIdentity& CurrentUser() {
    static const UserIdentity identity = [] {
        UserIdentity found;
        HANDLE token = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return found;
        found.User = TokenSid(token, TokenUser);
        found.DefaultOwner = TokenSid(token, TokenOwner);
        ::CloseHandle(token);
        return found;
    }();
    return identity;
}

std::string SidText(PSID sid) {
    wchar_t* text = nullptr;
    if (sid == nullptr || !::ConvertSidToStringSidW(sid, &text)) return {};
    std::string narrow = Narrow(text);
    ::LocalFree(text);
    return narrow;
}

SECURITY_ATTRIBUTES& PrivateSecurity() {
    static SECURITY_ATTRIBUTES attributes = [] {
        SECURITY_ATTRIBUTES made{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
        const auto user = SidText(CurrentUser().User);
        if (user.empty()) return made;
        // Full access for the user and the system, on the entry and all it will hold.
        const auto text = L"D:P(A;OICI;FA;;;" + Widen(user) + L")(A;OICI;FA;;;SY)";
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1, &descriptor,
                                                                   nullptr)) {
            made.lpSecurityDescriptor = descriptor;  // kept for the process's life
        }
        return made;
    }();
    return attributes;
}

bool IsPrivateFolderSecurity(PSID owner, const ACL* dacl) {
    const auto& user = CurrentUser();
    if (!Same(owner, user.User) && !Same(owner, user.DefaultOwner)) return false;
    // No list at all lets everyone in.
    if (dacl == nullptr) return false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(const_cast<ACL*>(dacl), i, &entry)) return false;
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        switch (header->AceType) {
        case ACCESS_DENIED_ACE_TYPE:
        case ACCESS_DENIED_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
            continue;
        case ACCESS_ALLOWED_ACE_TYPE: {
            const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
            if ((allowed->Mask & WriteRights) == 0) continue;
            if (!IsTrusted(const_cast<DWORD*>(&allowed->SidStart))) return false;
            continue;
        }
        default: {
            // Every granting entry carries its rights right after its header; one of a rarer
            // form that grants writing is not read further.
            const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
            if ((allowed->Mask & WriteRights) != 0) return false;
        }
        }
    }
    return true;
}

}  // namespace Quillmark::Platform::Windows
