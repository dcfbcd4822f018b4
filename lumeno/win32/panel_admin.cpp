#include "lumeno/win32/panel_admin.h"

#include "platform/pipe.h"

#include <windows.h>

bool panel_is_administrator() { return pipe_self_is_admin(); }

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
