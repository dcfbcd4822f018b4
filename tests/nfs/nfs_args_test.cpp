// Arguments encoded by libnfs decode with ours to the same fields (the
// record, encoded again by libnfs, gives the same bytes); no prefix of a
// call decodes; lengths over their limits are refused.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "quen/nfs/nfs2_args.h"
#include "quen/nfs/nfs3_args.h"
#include "tests/nfs/libnfs_args.h"

using namespace lib;

namespace {

char g_fh[64] = {20, 0, 0, 0, 7, 0, 0, 0, 64, 0, 0, 0, 0, 0, 0, 0, 71, 0, 0, 0};
char g_name[] = "file name";
char g_target[] = "../lib/target";
char g_data[] = "0123456789abcdefghij";

nfs_fh3 fh3(uint32_t length = 20) { return nfs_fh3{{length, g_fh}}; }
diropargs3 dirop3() { return diropargs3{fh3(), g_name}; }
diropargs2 dirop2() {
    diropargs2 d{};
    std::memcpy(d.dir, g_fh, FHSIZE2);
    d.name = g_name;
    return d;
}
// Everything set (client times) or nothing, or server times.
sattr3 sattr_all() {
    sattr3 s{};
    s.mode = {1, {0644}};
    s.uid = {1, {1000}};
    s.gid = {1, {100}};
    s.size = {1, {0x123456789ull}};
    s.atime.set_it = SET_TO_CLIENT_TIME;
    s.atime.set_atime_u.atime = {1700000000, 999999999};
    s.mtime.set_it = SET_TO_CLIENT_TIME;
    s.mtime.set_mtime_u.mtime = {1600000000, 5};
    return s;
}
sattr3 sattr_server_times() {
    sattr3 s{};
    s.atime.set_it = SET_TO_SERVER_TIME;
    s.mtime.set_it = SET_TO_SERVER_TIME;
    return s;
}
sattr2 sattr2_some() { return sattr2{0100644, 0xFFFFFFFFu, 7, 0xFFFFFFFFu, {5, 1000000}, {0xFFFFFFFFu, 0xFFFFFFFFu}}; }

struct sample {
    const char* shape;   // the case name in kNfsArgCases
    std::function<int(uint8_t*, size_t)> encode;
};

template <typename Args>
std::function<int(uint8_t*, size_t)> with(zdrproc_t proc, std::function<void(Args&)> fill) {
    return [proc, fill](uint8_t* out, size_t size) {
        Args a{};
        fill(a);
        return libnfs_encode(proc, &a, out, size);
    };
}
#define SAMPLE(shape, Args, ...) \
    sample { shape, with<Args>(zdrproc_t(zdr_##Args), [](Args & a) { __VA_ARGS__; }) }

const std::vector<sample>& samples() {
    static const std::vector<sample> all = {
        SAMPLE("nfs3 handle", GETATTR3args, a.object = fh3()),
        SAMPLE("nfs3 handle", GETATTR3args, a.object = fh3(0)),
        SAMPLE("nfs3 handle", GETATTR3args, a.object = fh3(64)),
        SAMPLE("nfs3 setattr", SETATTR3args, a.object = fh3(); a.new_attributes = sattr_all()),
        SAMPLE("nfs3 setattr", SETATTR3args, a.object = fh3(32); a.new_attributes = sattr_server_times();
               a.guard = {1, {{1700000001, 42}}}),
        SAMPLE("nfs3 dirop", LOOKUP3args, a.what = dirop3()),
        SAMPLE("nfs3 access", ACCESS3args, a.object = fh3(); a.access = 0x3F),
        SAMPLE("nfs3 read", READ3args, a = {fh3(), 0xFFFFFFFFFFFFFFF0ull, 0xFFFFFFFFu}),
        SAMPLE("nfs3 write", WRITE3args, a = {fh3(), 1ull << 40, 13, FILE_SYNC, {13, g_data}}),
        SAMPLE("nfs3 write", WRITE3args, a = {fh3(), 0, 0, UNSTABLE, {0, g_data}}),
        SAMPLE("nfs3 create", CREATE3args, a.where = dirop3(); a.how.mode = GUARDED;
               a.how.createhow3_u.g_obj_attributes = sattr_all()),
        SAMPLE("nfs3 create", CREATE3args, a.where = dirop3(); a.how.mode = EXCLUSIVE;
               std::memcpy(a.how.createhow3_u.verf, "verifier", 8)),
        SAMPLE("nfs3 mkdir", MKDIR3args, a = {dirop3(), sattr_server_times()}),
        SAMPLE("nfs3 symlink", SYMLINK3args, a = {dirop3(), {sattr_all(), g_target}}),
        SAMPLE("nfs3 mknod", MKNOD3args, a.where = dirop3(); a.what.type = NF3CHR;
               a.what.mknoddata3_u.chr_device = {sattr_all(), {1, 3}}),
        SAMPLE("nfs3 mknod", MKNOD3args, a.where = dirop3(); a.what.type = NF3FIFO;
               a.what.mknoddata3_u.pipe_attributes = sattr_server_times()),
        SAMPLE("nfs3 mknod", MKNOD3args, a.where = dirop3(); a.what.type = NF3REG),
        SAMPLE("nfs3 rename", RENAME3args, a = {dirop3(), dirop3()}),
        SAMPLE("nfs3 link", LINK3args, a = {fh3(32), dirop3()}),
        SAMPLE("nfs3 readdir", READDIR3args, a.dir = fh3(); a.cookie = 0x100000002ull;
               std::memcpy(a.cookieverf, "cookieve", 8); a.count = 100000),
        SAMPLE("nfs3 readdirplus", READDIRPLUS3args, a.dir = fh3(); a.cookie = 9; a.dircount = 512;
               a.maxcount = 8192),
        SAMPLE("nfs3 commit", COMMIT3args, a = {fh3(), 4096, 0}),

        SAMPLE("nfs2 handle", GETATTR2args, std::memcpy(a.fhandle, g_fh, FHSIZE2)),
        SAMPLE("nfs2 setattr", SETATTR2args, std::memcpy(a.fhandle, g_fh, FHSIZE2); a.attributes = sattr2_some()),
        SAMPLE("nfs2 dirop", LOOKUP2args, a.what = dirop2()),
        SAMPLE("nfs2 read", READ2args, std::memcpy(a.file, g_fh, FHSIZE2); a.offset = 0xFFFFFFFFu; a.count = 8193;
               a.totalcount = 1),
        SAMPLE("nfs2 write", WRITE2args, std::memcpy(a.file, g_fh, FHSIZE2); a.offset = 4096;
               a.data = {17, g_data}),
        SAMPLE("nfs2 create", CREATE2args, a = {dirop2(), sattr2{0x21B6, 0xFFFFFFFFu, 0xFFFFFFFFu, 0x0103, {}, {}}}),
        SAMPLE("nfs2 rename", RENAME2args, a = {dirop2(), dirop2()}),
        SAMPLE("nfs2 link", LINK2args, std::memcpy(a.from, g_fh, FHSIZE2); a.to = dirop2()),
        SAMPLE("nfs2 symlink", SYMLINK2args, a = {dirop2(), g_target, sattr2_some()}),
        SAMPLE("nfs2 readdir", READDIR2args, std::memcpy(a.dir, g_fh, FHSIZE2); std::memcpy(a.cookie, "\0\0\1\2", 4);
               a.count = 4096),
    };
    return all;
}

const nfs_arg_case& find_case(const std::string& shape) {
    for (size_t i = 0; i < kNfsArgCaseCount; ++i)
        if (shape == kNfsArgCases[i].name) return kNfsArgCases[i];
    ADD_FAILURE() << "no case " << shape;
    return kNfsArgCases[0];
}

TEST(NfsArgs, EveryShapeHasASample) {
    for (size_t i = 0; i < kNfsArgCaseCount; ++i) {
        bool found = false;
        for (const sample& s : samples()) found = found || std::string(s.shape) == kNfsArgCases[i].name;
        EXPECT_TRUE(found) << kNfsArgCases[i].name;
    }
}

TEST(NfsArgs, LibnfsCallsDecodeToTheSameFields) {
    for (const sample& s : samples()) {
        uint8_t wire[4096], again[4096];
        const int n = s.encode(wire, sizeof wire);
        ASSERT_GT(n, 0) << s.shape;
        size_t consumed = 0;
        const int m = reencode(find_case(s.shape), wire, size_t(n), again, sizeof again, &consumed);
        ASSERT_EQ(m, n) << s.shape;
        EXPECT_EQ(consumed, size_t(n)) << s.shape;
        EXPECT_EQ(0, std::memcmp(wire, again, size_t(n))) << s.shape;
    }
}

TEST(NfsArgs, NoPrefixOfACallDecodes) {
    for (const sample& s : samples()) {
        uint8_t wire[4096];
        const int n = s.encode(wire, sizeof wire);
        const nfs_arg_case& k = find_case(s.shape);
        alignas(8) static uint8_t record[kRecordStorage];
        for (int len = 0; len < n; ++len) {
            xdr_cursor c{0, len, wire};
            EXPECT_FALSE(k.decode(&c, record)) << s.shape << " cut to " << len;
            EXPECT_EQ(c.pos, 0);
        }
    }
}

// Words built by hand: what libnfs would not send.
std::vector<uint8_t> words(std::initializer_list<uint32_t> ws, size_t zero_bytes = 0) {
    std::vector<uint8_t> out(ws.size() * 4 + zero_bytes, 0);
    size_t i = 0;
    for (uint32_t w : ws) xdr_store32(out.data() + 4 * i++, w);
    return out;
}

TEST(NfsArgs, OverLimitsAreRefused) {
    struct refused {
        const char* what;
        bool (*decode)(xdr_cursor*, void*);
        std::vector<uint8_t> wire;
    };
    const uint32_t fh20 = 20;
    const std::vector<refused> cases = {
        {"65-byte handle", nfs3_decode_handle, words({65}, 68)},
        {"empty name", nfs3_decode_dirop, words({0, 0})},
        {"512-byte name", nfs3_decode_dirop, words({0, 512}, 512)},
        {"NUL in a name", nfs3_decode_dirop, words({0, 3, 'a' << 24 | 'b' << 8})},
        {"NUL in a v2 target", nfs2_decode_symlink, words({0, 0, 0, 0, 0, 0, 0, 0, 1, 'a' << 24, 1, 0}, 32)},
        {"name past the end", nfs3_decode_dirop, words({0, 9, 0})},
        {"2048-byte target", nfs3_decode_symlink,
         words({0, 1, 'a' << 24, 0, 0, 0, 0, 0, 0, 2048}, 2048)},
        {"write count above its data", nfs3_decode_write, words({0, 0, 0, 9, 0, 8, 0, 0})},
        {"write data short of its count", nfs3_decode_write, words({0, 0, 0, 16, 0, 16, 0, 0})},
        {"write stable 3", nfs3_decode_write, words({0, 0, 0, 0, 3, 0})},
        {"createhow 3", nfs3_decode_create, words({0, 1, 'a' << 24, 3}, 40)},
        {"set flag 2", nfs3_decode_mkdir, words({0, 1, 'a' << 24, 2, 0, 0, 0, 0, 0, 0})},
        {"time_how 3", nfs3_decode_mkdir, words({0, 1, 'a' << 24, 0, 0, 0, 0, 3, 0})},
        {"handle of 20 in a v2 call", nfs2_decode_handle, words({fh20}, 16)},
        {"v2 write data short", nfs2_decode_write, words({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0})},
        {"v2 usec -1 in a set time", nfs2_decode_setattr,
         words({0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 5, 0xFFFFFFFFu, 0xFFFFFFFFu, 0})},
        {"v2 usec above a second", nfs2_decode_setattr,
         words({0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 5, 1000001, 0xFFFFFFFFu, 0})},
    };
    alignas(8) static uint8_t record[kRecordStorage];
    for (const refused& r : cases) {
        std::memset(record, 0, sizeof record);
        xdr_cursor c{0, int32_t(r.wire.size()), r.wire.data()};
        EXPECT_FALSE(r.decode(&c, record)) << r.what;
        EXPECT_EQ(c.pos, 0) << r.what;
    }
}

TEST(NfsArgs, WriteDataStaysInTheRequest) {
    uint8_t wire[256];
    WRITE3args a{fh3(), 0, 13, FILE_SYNC, {13, g_data}};
    const int n = libnfs_encode(zdrproc_t(zdr_WRITE3args), &a, wire, sizeof wire);
    nfs3_write_args w{};
    xdr_cursor c{0, n, wire};
    ASSERT_TRUE(nfs3_decode_write(&c, &w));
    EXPECT_EQ(w.data, wire + n - 16);
    EXPECT_EQ(0, std::memcmp(w.data, g_data, 13));
}

}  // namespace
