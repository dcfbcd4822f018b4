#include "lumeno/win32/panel_admin.h"

#include <windows.h>

namespace {

// Whether the token (duplicated for identification when it is a primary
// token) holds the Administrators group.
bool member(HANDLE token) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                  &admins))
        return false;
    HANDLE check = nullptr;
    BOOL is = FALSE;
    if (DuplicateToken(token, SecurityIdentification, &check)) {
        if (!CheckTokenMembership(check, admins, &is)) is = FALSE;
        CloseHandle(check);
    }
    FreeSid(admins);
    return is != FALSE;
}

}  // namespace

bool panel_is_administrator() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &token)) return false;
    bool result = false;
    TOKEN_ELEVATION_TYPE type{};
    DWORD size = 0;
    // Before Windows 6 the query fails and the process token is the one.
    if (GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size) &&
        type == TokenElevationTypeLimited) {
        TOKEN_LINKED_TOKEN linked{};
        if (GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &size)) {
            result = member(linked.LinkedToken);
            CloseHandle(linked.LinkedToken);
        }
    } else {
        result = member(token);
    }
    CloseHandle(token);
    return result;
}

bool panel_token_is_administrator() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                  &admins))
        return false;
    BOOL is = FALSE;
    if (!CheckTokenMembership(nullptr, admins, &is)) is = FALSE;
    FreeSid(admins);
    return is != FALSE;
}
