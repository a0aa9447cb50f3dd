#pragma once
// The current user as the Windows backends need to know it: who owns what the user makes, and
// security for files and folders that no one else may touch.

#include "Platform/Windows/Win32.hpp"

#include <string>

namespace Quillmark::Platform::Windows {

// The user's own identifier, and the one the system makes owner of what the user creates (the
// same, or the Administrators group for an elevated user). Asked of the system once.
struct UserIdentity {
    PSID User = nullptr;
    PSID DefaultOwner = nullptr;
};
const UserIdentity& CurrentUser();

// The identifier's text ("S-1-5-21-..."), or the empty text when it has none.
std::string SidText(PSID sid);

// Security that gives access to the current user and the system alone, protected from what the
// folder above would pass down; handles made with it are not inherited by children.
SECURITY_ATTRIBUTES& PrivateSecurity();

// True when the folder's security lets no one but the current user, the system and the
// Administrators write into it or change it, and it is owned by the user.
bool IsPrivateFolderSecurity(PSID owner, const ACL* dacl);

}  // namespace Quillmark::Platform::Windows
