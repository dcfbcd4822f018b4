// The ACCESS bits granted by mode, owner and groups of the mapped caller.
#include <gtest/gtest.h>

#include "quen/nfs/nfs3_handlers.h"
#include "quen/nfs/nfs3_results.h"

namespace {

struct access_case {
    const char* what;
    uint32_t type, mode, owner, group;
    int32_t uid, gid;
    uint32_t extra_gid;   // one supplementary group, 0 none
    bool read_only;
    uint32_t granted;
};

constexpr uint32_t R = NFS3_ACCESS_READ, L = NFS3_ACCESS_LOOKUP, X = NFS3_ACCESS_EXECUTE;
constexpr uint32_t W = NFS3_ACCESS_MODIFY | NFS3_ACCESS_EXTEND | NFS3_ACCESS_DELETE;

const access_case k_cases[] = {
    {"root on 0400", NF_REG, 0400, 5, 5, 0, 0, 0, false, R | W},
    {"owner on 0400 may write what it may read", NF_REG, 0400, 5, 5, 5, 9, 0, false, R | W},
    {"owner on 0100", NF_REG, 0100, 5, 5, 5, 9, 0, false, X},
    {"group member by supplementary gid", NF_REG, 0060, 5, 7, 6, 9, 7, false, R | W},
    {"other user falls to the other bits", NF_REG, 0774, 5, 7, 6, 9, 0, false, R},
    {"other on a 0711 directory", NF_DIR, 040711, 5, 5, 6, 6, 0, false, 0},
    {"directory read gives LOOKUP, never EXECUTE", NF_DIR, 040755, 5, 5, 6, 6, 0, false, R | L},
    {"root on a read-only export changes nothing", NF_REG, 0644, 5, 5, 0, 0, 0, true, R},
    {"squashed root is another user", NF_REG, 0640, 0, 0, 65534, 65534, 0, false, 0},
};

TEST(NfsAccess, GrantedBitsFollowTheMappedCaller) {
    for (const access_case& t : k_cases) {
        file_attributes a{};
        a.type = t.type;
        a.mode = t.mode;
        a.uid = t.owner;
        a.gid = t.group;
        fs_credential cred{};
        cred.uid = t.uid;
        cred.gid = t.gid;
        if (t.extra_gid) {
            cred.gids[0] = t.extra_gid;
            cred.gid_count = 1;
        }
        EXPECT_EQ(nfs3_access_granted(a, cred, 0x3F, t.read_only), t.granted) << t.what;
        EXPECT_EQ(nfs3_access_granted(a, cred, NFS3_ACCESS_READ, t.read_only), t.granted & R) << t.what;
    }
}

}  // namespace
