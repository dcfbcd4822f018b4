// map_credential, permitted_bits and is_owner.
#include "tests/attrs/attrs_env.h"

namespace {

struct credential_test : ::testing::Test {
    server_config saved{};
    export_entry entry;
    mount_context ctx{};
    void SetUp() override {
        saved = g_settings.record;
        g_settings.record.map_root = 0;
        entry.fixed = export_image_defaults();
        ctx.entry = &entry;
    }
    void TearDown() override { g_settings.record = saved; }
};

fs_credential root_with_groups() {
    fs_credential c = user_credential(0, 0);
    c.gid_count = 3;
    c.gids[0] = 5;
    c.gids[1] = 0;
    c.gids[2] = 10;
    return c;
}

TEST_F(credential_test, FromCallCopiesIdentityAndCapsGroups) {
    rpc_call call{};
    uint32_t groups[RPC_GIDS_MAX + 4];
    for (uint32_t i = 0; i < RPC_GIDS_MAX + 4; ++i) groups[i] = 100 + i;
    call.uid = 1000;
    call.gid = 0xFFFFFFFE;  // -2
    call.gids = groups;
    call.gid_count = RPC_GIDS_MAX + 4;
    const fs_credential c = credential_from_call(call);
    EXPECT_EQ(c.uid, 1000);
    EXPECT_EQ(c.gid, -2);
    EXPECT_EQ(c.gid_count, RPC_GIDS_MAX);
    EXPECT_EQ(c.gids[RPC_GIDS_MAX - 1], 100 + RPC_GIDS_MAX - 1);
    call.gids = nullptr;
    EXPECT_EQ(credential_from_call(call).gid_count, 0u);
}

TEST_F(credential_test, RootIsSquashedWithItsGroups) {
    fs_credential c = root_with_groups();
    map_credential(ctx, c);
    EXPECT_EQ(c.uid, 65534);
    EXPECT_EQ(c.gid, 65534);
    EXPECT_EQ(c.gid_count, 0u);
}

// Group 0 of a caller that is not root goes where root's group goes.
TEST_F(credential_test, OtherUsersKeepTheirIdsButNotGroupZero) {
    struct mapping { uint32_t flags; uint32_t map_root; int32_t group_zero; } cases[] = {
        {0, 0, 65534}, {MOUNT_FLAG_MAPROOT, 0, 600}, {MOUNT_FLAG_MAPROOT, 1, 600}, {0, 1, 0}};
    entry.fixed.maproot_uid = 500;
    entry.fixed.maproot_gid = 600;
    for (const mapping& m : cases) {
        ctx.flags = m.flags;
        g_settings.record.map_root = m.map_root;
        fs_credential c = user_credential(1000, 0);
        c.gid_count = 3;
        c.gids[0] = 7;
        c.gids[1] = 0;
        c.gids[2] = 1000;
        map_credential(ctx, c);
        EXPECT_EQ(c.uid, 1000);
        EXPECT_EQ(c.gid, m.group_zero) << m.flags;
        ASSERT_EQ(c.gid_count, 3u);
        EXPECT_EQ(c.gids[0], 7u);
        EXPECT_EQ(c.gids[1], uint32_t(m.group_zero)) << m.flags;
        EXPECT_EQ(c.gids[2], 1000u);
    }
}

TEST_F(credential_test, MapRootSettingKeepsRoot) {
    g_settings.record.map_root = 1;
    fs_credential c = root_with_groups();
    c.gid = 7;
    map_credential(ctx, c);
    EXPECT_EQ(c.uid, 0);
    EXPECT_EQ(c.gid, 0);
    EXPECT_EQ(c.gid_count, 3u);
}

TEST_F(credential_test, MaprootOptionReplacesRootAndGroups) {
    g_settings.record.map_root = 1;  // the export's option wins
    ctx.flags = MOUNT_FLAG_MAPROOT;
    entry.fixed.maproot_uid = 500;
    entry.fixed.maproot_gid = 600;
    fs_credential c = root_with_groups();
    map_credential(ctx, c);
    EXPECT_EQ(c.uid, 500);
    EXPECT_EQ(c.gid, 600);
    EXPECT_EQ(c.gid_count, 0u);
}

TEST_F(credential_test, MapallWithGroupReplacesEveryone) {
    ctx.flags = MOUNT_FLAG_MAPALL | MOUNT_FLAG_MAPALL_GROUP | MOUNT_FLAG_MAPROOT;
    entry.fixed.mapall_uid = 300;
    entry.fixed.mapall_gid = 301;
    entry.fixed.maproot_uid = 1;
    for (fs_credential c : {root_with_groups(), user_credential(1000, 1000)}) {
        c.gid_count = 2;
        c.gids[0] = 0;
        c.gids[1] = 4;
        map_credential(ctx, c);
        EXPECT_EQ(c.uid, 300);
        EXPECT_EQ(c.gid, 301);
        EXPECT_EQ(c.gid_count, 0u);
    }
}

TEST_F(credential_test, MapallWithoutGroupKeepsGidButNotRootGroup) {
    ctx.flags = MOUNT_FLAG_MAPALL;
    entry.fixed.mapall_uid = 300;
    fs_credential user = user_credential(1000, 1000);
    user.gid_count = 1;
    user.gids[0] = 0;
    map_credential(ctx, user);
    EXPECT_EQ(user.uid, 300);
    EXPECT_EQ(user.gid, 1000);
    EXPECT_EQ(user.gid_count, 0u);
    fs_credential root = root_with_groups();
    map_credential(ctx, root);
    EXPECT_EQ(root.uid, 300);
    EXPECT_EQ(root.gid, 65534);
    EXPECT_EQ(root.gid_count, 0u);
}

file_attributes record(uint32_t mode, uint32_t uid, uint32_t gid) {
    file_attributes a{};
    a.mode = mode;
    a.uid = uid;
    a.gid = gid;
    return a;
}

TEST_F(credential_test, PermittedBits) {
    const file_attributes f = record(0100754, 10, 20);
    EXPECT_EQ(permitted_bits(0777, f, user_credential(0, 0)), 0777u);  // root, whatever the mode
    EXPECT_EQ(permitted_bits(0222, record(0100444, 10, 20), user_credential(0, 99)), 0222u);
    EXPECT_EQ(permitted_bits(0555, f, user_credential(10, 99)), 0500u);
    EXPECT_EQ(permitted_bits(0222, f, user_credential(10, 20)), 0200u);  // owner bits only, not group's
    EXPECT_EQ(permitted_bits(0555, f, user_credential(11, 20)), 0050u);
    EXPECT_EQ(permitted_bits(0222, f, user_credential(11, 20)), 0u);
    EXPECT_EQ(permitted_bits(0555, f, user_credential(11, 21)), 0004u);
    EXPECT_EQ(permitted_bits(0111, f, user_credential(11, 21)), 0u);
    fs_credential member = user_credential(11, 21);
    member.gid_count = 2;
    member.gids[0] = 3;
    member.gids[1] = 20;
    EXPECT_EQ(permitted_bits(0555, f, member), 0050u);
}

TEST_F(credential_test, SquashedRootCannotWriteRootsFiles) {
    fs_credential c = root_with_groups();
    map_credential(ctx, c);
    // A file owned by uid 0 and group 0, writable by its owner and group.
    const file_attributes f = record(0100664, 0, 0);
    EXPECT_EQ(permitted_bits(0222, f, c), 0u);
    EXPECT_EQ(permitted_bits(0555, f, c), 0004u);
    EXPECT_FALSE(is_owner(0, c));
}

TEST_F(credential_test, IsOwner) {
    EXPECT_TRUE(is_owner(10, user_credential(10, 0)));
    EXPECT_TRUE(is_owner(10, user_credential(0, 0)));
    EXPECT_FALSE(is_owner(10, user_credential(11, 10)));
    EXPECT_TRUE(is_owner(0xFFFFFFFEu, user_credential(-2, 0)));
}

}  // namespace
