// The internal handle, its wire forms and resolving it through the mount table.
#include "quen/config/settings.h"
#include "quen/inode/inode_table.h"
#include "platform/thread.h"
#include "quen/inode/inode_tree.h"
#include "tests/mount/mount_test_env.h"

#include <atomic>
#include <cstring>
#include <vector>

namespace {

xdr_cursor cursor_over(const std::vector<uint8_t>& bytes) {
    return xdr_cursor{0, int32_t(bytes.size()), bytes.data()};
}

// A length word and that many bytes (padded), as a client sends a handle.
std::vector<uint8_t> opaque(uint32_t length, uint8_t fill = 0x5A) {
    std::vector<uint8_t> b(4 + xdr_pad4(length), 0);
    xdr_store32(b.data(), length);
    for (uint32_t i = 0; i < length; ++i) b[4 + i] = uint8_t(fill + i);
    return b;
}

}  // namespace

TEST(handle_format, make_fills_every_word) {
    const internal_handle h = handle_make(0x1040, 0x77, 0xFFFFFFF0u);
    EXPECT_EQ(h.word[0], 20u);
    EXPECT_EQ(h.word[1], 0xFFFFFFF0u);
    EXPECT_EQ(h.word[2], 0x1040u);
    EXPECT_EQ(h.word[3], 0x77u);
    EXPECT_EQ(h.word[4], 0x1030u) << "the check word wraps modulo 2^32";
    EXPECT_EQ(h.word[5], 0u);
    EXPECT_EQ(h.word[6], 0u);
    EXPECT_EQ(h.word[7], 0u);
}

TEST(handle_format, bytes_are_little_endian_words) {
    uint8_t bytes[32];
    handle_to_bytes(handle_make(0x04030201, 0, 0x0A0B0C0D), bytes);
    const uint8_t expected[20] = {20, 0, 0, 0, 0x0D, 0x0C, 0x0B, 0x0A, 1, 2, 3, 4, 0, 0, 0, 0,
                                  0x0E, 0x0E, 0x0E, 0x0E};
    EXPECT_EQ(std::memcmp(bytes, expected, 20), 0);
    for (int i = 20; i < 32; ++i) EXPECT_EQ(bytes[i], 0) << i;
    const internal_handle back = handle_from_bytes(bytes, 32);
    const internal_handle made = handle_make(0x04030201, 0, 0x0A0B0C0D);
    EXPECT_EQ(std::memcmp(&back, &made, 32), 0);
}

TEST(handle_format, wire_size_follows_fhsize) {
    EXPECT_EQ(handle_wire_size(20), 20u);
    EXPECT_EQ(handle_wire_size(32), 32u);
    EXPECT_EQ(handle_wire_size(24), 20u);
    EXPECT_EQ(handle_wire_size(0), 20u);
    EXPECT_EQ(handle_wire_size(64), 20u);
}

TEST(handle_format, version3_is_20_bytes_and_version2_adds_12_zeros) {
    const internal_handle h = handle_make(0x2A0, 0, 0x12345678);
    uint8_t v3[64] = {};
    uint8_t v2[64] = {};
    ASSERT_EQ(handle_encode_variable(v3, h, 20), 24u);
    EXPECT_EQ(xdr_load32(v3), 20u);
    ASSERT_EQ(handle_encode_fixed(v2, h), 32u);
    EXPECT_EQ(std::memcmp(v3 + 4, v2, 20), 0);
    for (int i = 20; i < 32; ++i) EXPECT_EQ(v2[i], 0) << i;
}

TEST(handle_format, fhsize_24_encodes_as_20_and_32_as_32) {
    const internal_handle h = handle_make(0x2A0, 0, 9);
    uint8_t out[64];
    EXPECT_EQ(handle_encode_variable(out, h, 24), 24u);
    EXPECT_EQ(xdr_load32(out), 20u);
    EXPECT_EQ(handle_encode_variable(out, h, 32), 36u);
    EXPECT_EQ(xdr_load32(out), 32u);
}

TEST(handle_format, variable_decode_takes_fhsize_or_zero_only) {
    for (uint32_t fh_size : {20u, 24u}) {
        internal_handle h;
        auto b20 = opaque(20);
        xdr_cursor c = cursor_over(b20);
        ASSERT_TRUE(handle_decode_variable(&c, &h, fh_size));
        EXPECT_EQ(c.pos, 6);
        EXPECT_EQ(h.word[0], 0x5D5C5B5Au);
        EXPECT_EQ(h.word[5], 0u) << "the bytes past the wire form are zero";
        EXPECT_EQ(h.word[7], 0u);
    }
    for (uint32_t bad : {28u, 32u, 16u, 24u, 4u, 36u}) {
        auto b = opaque(bad);
        xdr_cursor c = cursor_over(b);
        internal_handle h;
        EXPECT_FALSE(handle_decode_variable(&c, &h, 20)) << bad;
        EXPECT_EQ(c.pos, 0) << "the cursor stays for GARBAGE_ARGS";
    }
    auto b32 = opaque(32);
    xdr_cursor c = cursor_over(b32);
    internal_handle h;
    EXPECT_TRUE(handle_decode_variable(&c, &h, 32));
    EXPECT_EQ(h.word[7], 0x79787776u);
    auto b28 = opaque(28);
    c = cursor_over(b28);
    EXPECT_FALSE(handle_decode_variable(&c, &h, 32));
}

TEST(handle_format, zero_length_is_the_public_handle) {
    auto b = opaque(0);
    xdr_cursor c = cursor_over(b);
    internal_handle h;
    std::memset(&h, 0xFF, sizeof h);
    ASSERT_TRUE(handle_decode_variable(&c, &h, 20));
    EXPECT_TRUE(handle_is_public_variable(h));
    EXPECT_TRUE(handle_is_public_fixed(h));
}

TEST(handle_format, public_tests_differ_by_version) {
    internal_handle h{};
    h.word[3] = 1;
    EXPECT_TRUE(handle_is_public_variable(h)) << "version 3 looks at word 0 only";
    EXPECT_FALSE(handle_is_public_fixed(h)) << "version 2 compares all 32 bytes";
    EXPECT_FALSE(handle_is_public_variable(handle_make(32, 0, 1)));
}

TEST(handle_format, truncated_fixed_handle_does_not_decode) {
    std::vector<uint8_t> b(31, 1);
    xdr_cursor c = cursor_over(b);
    internal_handle h;
    EXPECT_FALSE(handle_decode_fixed(&c, &h));
    b.resize(32);
    c = cursor_over(b);
    EXPECT_TRUE(handle_decode_fixed(&c, &h));
    EXPECT_EQ(c.pos, 8);
}

TEST(handle_format, netobj_must_be_32_bytes) {
    internal_handle h;
    for (uint32_t bad : {0u, 20u, 28u, 36u}) {
        auto b = opaque(bad);
        xdr_cursor c = cursor_over(b);
        EXPECT_FALSE(handle_decode_netobj(&c, &h)) << bad;
        EXPECT_EQ(c.pos, 0);
    }
    auto b = opaque(32);
    xdr_cursor c = cursor_over(b);
    EXPECT_TRUE(handle_decode_netobj(&c, &h));
    EXPECT_EQ(c.pos, 9);
}

// ---- resolving ------------------------------------------------------------------------

struct handle_resolve_test : mount_test {
    export_entry* exp = nullptr;
    uint32_t mount_id = 0;
    uint32_t root = 0;
    std::string folder;

    void SetUp() override {
        mount_test::SetUp();
        if (HasFatalFailure()) return;
        make_dir("share");
        folder = at("share");
        load_exports("@\\share -ci\n");
        exp = export_at(0);
        ASSERT_NE(exp, nullptr);
        mount_id = mount_folder(ip("192.0.2.7"), exp->folder, exp);
        ASSERT_NE(mount_id, 0u);
        root = inode_of_path(exp->folder.c_str());
        ASSERT_NE(root, 0u);
    }

    uint64_t resolve(const internal_handle& h) {
        mount_context ctx{};
        char path[kHandlePathSize];
        return handle_resolve(h, &ctx, path);
    }
};

TEST_F(handle_resolve_test, a_fresh_handle_resolves_with_its_mount_context) {
    mount_context ctx{};
    char path[kHandlePathSize];
    ASSERT_EQ(handle_resolve(handle_make(root, 0, mount_id), &ctx, path), root);
    EXPECT_EQ(ctx.entry, exp);
    EXPECT_EQ(ctx.flags & MOUNT_FLAG_FILE_ID, 0u);
    EXPECT_EQ(ctx.flags & MOUNT_FLAG_CI, MOUNT_FLAG_CI);
    EXPECT_EQ(ctx.origin, 17u);
    EXPECT_EQ(ctx.name_encoding, uint32_t(NAME_ENCODING_UTF8));
    EXPECT_EQ(ctx.mounted_path, path);
    EXPECT_EQ(std::string(path), exp->folder);
}

TEST_F(handle_resolve_test, subfolder_mount_gives_its_own_path) {
    make_dir("share\\sub");
    const std::string sub = at("share\\sub");
    const uint32_t sub_id = mount_folder(ip("192.0.2.7"), sub, exp);
    ASSERT_NE(sub_id, mount_id);
    const uint32_t sub_inode = inode_of_path(sub.c_str());
    mount_context ctx{};
    char path[kHandlePathSize];
    ASSERT_EQ(handle_resolve(handle_make(sub_inode, 0, sub_id), &ctx, path), sub_inode);
    EXPECT_EQ(std::string(ctx.mounted_path), sub);
    // A file deeper down, reached through the export's own mount.
    const uint32_t deeper = inode_enter(sub_inode, "x", 1);
    EXPECT_EQ(resolve(handle_make(deeper, 0, mount_id)), deeper);
}

TEST_F(handle_resolve_test, a_wrong_mark_is_stale) {
    internal_handle h = handle_make(root, 0, mount_id);
    h.word[0] = 21;
    EXPECT_EQ(resolve(h), 0u);
    h.word[0] = 0;
    EXPECT_EQ(resolve(h), 0u);
}

TEST_F(handle_resolve_test, changed_words_1_and_2_are_stale) {
    const internal_handle good = handle_make(root, 0, mount_id);
    for (int byte = 4; byte < 12; ++byte) {
        uint8_t bytes[32];
        handle_to_bytes(good, bytes);
        bytes[byte] ^= 0x20;
        EXPECT_EQ(resolve(handle_from_bytes(bytes, 32)), 0u) << "byte " << byte;
    }
    internal_handle check = good;
    check.word[4] += 1;
    EXPECT_EQ(resolve(check), 0u);
}

TEST_F(handle_resolve_test, word_3_of_an_inode_handle_does_not_matter) {
    internal_handle h = handle_make(root, 0, mount_id);
    h.word[3] = 0xDEADBEEF;
    EXPECT_EQ(resolve(h), uint64_t(root)) << "the identity is the inode number, high word 0";
}

TEST_F(handle_resolve_test, inode_16_or_33_is_stale_with_a_valid_mount) {
    for (uint32_t bad : {16u, 33u, 0u, 31u})
        EXPECT_EQ(resolve(handle_make(bad, 0, mount_id)), 0u) << bad;
}

TEST_F(handle_resolve_test, a_number_that_is_no_live_record_is_stale) {
    EXPECT_EQ(resolve(handle_make(g_inode_table.total, 0, mount_id)), 0u) << "past the table";
    EXPECT_EQ(resolve(handle_make(0xFFFFFFE0u, 0, mount_id)), 0u);
    const uint32_t child = inode_enter(root, "gone", 4);
    ASSERT_NE(child, 0u);
    EXPECT_EQ(resolve(handle_make(child, 0, mount_id)), child);
    ASSERT_TRUE(inode_delete(child));
    EXPECT_EQ(resolve(handle_make(child, 0, mount_id)), 0u) << "a deleted record";
}

TEST_F(handle_resolve_test, an_unknown_mount_is_stale) {
    EXPECT_EQ(resolve(handle_make(root, 0, mount_id + 1)), 0u);
    EXPECT_EQ(resolve(handle_make(root, 0, mount_id ^ 0x100)), 0u) << "same cache slot, other identifier";
}

TEST_F(handle_resolve_test, stale_after_the_mount_is_removed) {
    const internal_handle h = handle_make(root, 0, mount_id);
    ASSERT_EQ(resolve(h), root);
    ASSERT_TRUE(mount_remove_path(ip("192.0.2.7"), exp->folder.c_str()));
    EXPECT_EQ(resolve(h), 0u);
}

TEST_F(handle_resolve_test, any_client_may_present_a_live_handle) {
    // Handles are not tied to the address of the client that mounted.
    mount_remove_client(ip("192.0.2.99"));
    EXPECT_EQ(resolve(handle_make(root, 0, mount_id)), root);
}

TEST_F(handle_resolve_test, file_id_mount_returns_words_3_and_2) {
    mount_request r;
    r.client = ip("192.0.2.8");
    r.path = exp->folder;
    r.exp = exp;
    r.root_identity = 0x0000000500000040ull;
    r.flags = exp->fixed.mount_flags | MOUNT_FLAG_FILE_ID;
    uint32_t id = 0;
    ASSERT_EQ(mount_record(r, &id), MOUNT_RECORD_NEW);
    EXPECT_EQ(resolve(handle_make(0x12345, 0x7, id)), 0x0000000700012345ull)
        << "no inode validation in a file-id mount";
    EXPECT_EQ(resolve(handle_make(0, 0x7, id)), 0x0000000700000000ull);
    EXPECT_EQ(resolve(handle_make(0, 0, id)), 0u) << "identity 0 is stale";
}

TEST_F(handle_resolve_test, the_cache_serves_identifiers_sharing_a_slot) {
    make_dir("share\\one");
    make_dir("share\\two");
    // Identifiers given as a reload gives them: both fall into slot 0x42.
    mount_request r;
    r.client = ip("192.0.2.9");
    r.exp = exp;
    r.root_identity = root;
    r.flags = exp->fixed.mount_flags;
    r.path = at("share\\one");
    r.given_id = 0x1142;
    ASSERT_EQ(mount_record(r, nullptr), MOUNT_RECORD_NEW);
    r.path = at("share\\two");
    r.given_id = 0x2242;
    ASSERT_EQ(mount_record(r, nullptr), MOUNT_RECORD_NEW);
    for (int round = 0; round < 3; ++round) {
        mount_context ctx{};
        char path[kHandlePathSize];
        ASSERT_EQ(handle_resolve(handle_make(root, 0, 0x1142), &ctx, path), root);
        EXPECT_EQ(std::string(path), at("share\\one"));
        ASSERT_EQ(handle_resolve(handle_make(root, 0, 0x2242), &ctx, path), root);
        EXPECT_EQ(std::string(path), at("share\\two"));
    }
    ASSERT_TRUE(mount_remove_path(ip("192.0.2.9"), at("share\\two").c_str()));
    EXPECT_EQ(resolve(handle_make(root, 0, 0x2242)), 0u);
    EXPECT_EQ(resolve(handle_make(root, 0, 0x1142)), root);
}

TEST_F(handle_resolve_test, the_context_carries_the_volume_values_of_the_entry) {
    mount_request r;
    r.client = ip("192.0.2.30");
    r.path = exp->folder;
    r.exp = exp;
    r.root_identity = root;
    r.volume_serial = 0xCAFE0001;
    r.max_name_length = 12;
    r.flags = exp->fixed.mount_flags | MOUNT_FLAG_READONLY;
    r.encoding = NAME_ENCODING_CODE_PAGE;
    r.origin = 6 | MOUNT_ORIGIN_AUTO;
    uint32_t id = 0;
    ASSERT_EQ(mount_record(r, &id), MOUNT_RECORD_NEW);
    mount_context ctx{};
    char path[kHandlePathSize];
    ASSERT_EQ(handle_resolve(handle_make(root, 0, id), &ctx, path), root);
    EXPECT_EQ(ctx.volume_serial, 0xCAFE0001u);
    EXPECT_EQ(ctx.max_component_length, 12u);
    EXPECT_EQ(ctx.flags, r.flags);
    EXPECT_EQ(ctx.name_encoding, uint32_t(NAME_ENCODING_CODE_PAGE));
    EXPECT_EQ(ctx.origin, 6u | MOUNT_ORIGIN_AUTO);
}

TEST_F(handle_resolve_test, resolving_while_mounts_come_and_go) {
    make_dir("share\\busy");
    const std::string busy = at("share\\busy");
    const uint32_t busy_inode = inode_of_path(busy.c_str());
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> busy_id{0};
    std::atomic<int> bad{0};
    struct worker_args {
        std::atomic<bool>* stop;
        std::atomic<uint32_t>* id;
        std::atomic<int>* bad;
        uint32_t inode;
        plat_event* done;
    };
    worker_args args{&stop, &busy_id, &bad, busy_inode, event_create(true, false)};
    ASSERT_TRUE(thread_start(
        [](void* p) {
            worker_args* a = static_cast<worker_args*>(p);
            while (!a->stop->load()) {
                mount_context ctx{};
                char path[kHandlePathSize];
                const uint64_t got = handle_resolve(handle_make(a->inode, 0, a->id->load()), &ctx, path);
                if (got != 0 && got != a->inode) a->bad->fetch_add(1);
            }
            event_set(a->done);
        },
        &args));
    for (int i = 0; i < 300; ++i) {
        busy_id = mount_folder(ip("192.0.2.40"), busy, exp);
        ASSERT_TRUE(mount_remove_path(ip("192.0.2.40"), busy.c_str()));
    }
    stop = true;
    ASSERT_TRUE(event_wait(args.done, 10000));
    event_close(args.done);
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(resolve(handle_make(busy_inode, 0, busy_id)), 0u);
}
