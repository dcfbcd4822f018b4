// Results encoded by ours decode with libnfs, taking exactly the bytes
// written, to the fields the records hold; READ data and directory lists
// stay within what they were given.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "quen/nfs/nfs2_results.h"
#include "quen/nfs/nfs3_results.h"
#include "tests/nfs/libnfs_xdr.h"

using namespace lib;

namespace {

file_attributes sample_attr() {
    file_attributes a{};
    a.type = NF_REG;
    a.mode = 0104755;
    a.nlink = 3;
    a.uid = 1000;
    a.gid = 100;
    a.size = 0x100000005ull;
    a.rdev_major = 1;
    a.rdev_minor = 3;
    a.fsid = 0xABCD1234u;
    a.fileid = 0x1234567890ull;
    a.atime = {1700000000, 123456789};
    a.mtime = {1600000000, 999};
    a.ctime = {1500000000, 0};
    return a;
}
nfs_post_attr post() { return nfs_post_attr{true, sample_attr()}; }
nfs_wcc wcc() { return nfs_wcc{nfs_pre_attr_of(sample_attr()), post()}; }
nfs3_fh fh(uint32_t length) {
    nfs3_fh f{};
    f.length = length;
    for (uint32_t i = 0; i < length; ++i) f.data[i] = uint8_t(i + 1);
    return f;
}

void expect_fattr3(const fattr3& f) {
    const file_attributes a = sample_attr();
    EXPECT_EQ(f.type, NF3REG);
    EXPECT_EQ(f.mode, 04755u);   // type bits cleared
    EXPECT_EQ(f.nlink, a.nlink);
    EXPECT_EQ(f.uid, a.uid);
    EXPECT_EQ(f.gid, a.gid);
    EXPECT_EQ(f.size, a.size);
    EXPECT_EQ(f.used, a.size);
    EXPECT_EQ(f.rdev.specdata1, 1u);
    EXPECT_EQ(f.rdev.specdata2, 3u);
    EXPECT_EQ(f.fsid, uint64_t(a.fsid));
    EXPECT_EQ(f.fileid, a.fileid);
    EXPECT_EQ(f.atime.seconds, a.atime.seconds);
    EXPECT_EQ(f.atime.nseconds, a.atime.nseconds);
    EXPECT_EQ(f.mtime.nseconds, a.mtime.nseconds);
    EXPECT_EQ(f.ctime.seconds, a.ctime.seconds);
}
void expect_post(const post_op_attr& p) {
    ASSERT_EQ(p.attributes_follow, 1u);
    expect_fattr3(p.post_op_attr_u.attributes);
}
void expect_wcc(const wcc_data& w) {
    ASSERT_EQ(w.before.attributes_follow, 1u);
    EXPECT_EQ(w.before.pre_op_attr_u.attributes.size, sample_attr().size);
    EXPECT_EQ(w.before.pre_op_attr_u.attributes.mtime.seconds, sample_attr().mtime.seconds);
    EXPECT_EQ(w.before.pre_op_attr_u.attributes.ctime.seconds, sample_attr().ctime.seconds);
    expect_post(w.after);
}
void expect_fh(const nfs_fh3& f, uint32_t length) {
    ASSERT_EQ(f.data.data_len, length);
    EXPECT_EQ(0, std::memcmp(f.data.data_val, fh(length).data, length));
}
void expect_fattr2(const fattr2& f) {
    EXPECT_EQ(f.type, NF2REG);
    EXPECT_EQ(f.mode, 0104755u);      // with the type bits
    EXPECT_EQ(f.size, 0xFFFFFFFFu);   // not wrapped to 5
    EXPECT_EQ(f.blocksize, 4096u);
    EXPECT_EQ(f.rdev, 0x103u);
    EXPECT_EQ(f.blocks, 0x100001u);
    EXPECT_EQ(f.fsid, 0xABCD1234u);
    EXPECT_EQ(f.fileid, fileid_hash(0x1234567890ull));   // folded, not cut to 0x34567890
    EXPECT_EQ(f.atime.nseconds, 123456u);   // microseconds
    EXPECT_EQ(f.mtime.seconds, 1600000000u);
}

// Encodes with ours, decodes with libnfs into Res and checks it.
template <typename Res>
void check(const char* what, rpc_encoder encode, const void* record, zdrproc_t decode, std::function<void(Res&)> expect,
           size_t expected_length = 0) {
    SCOPED_TRACE(what);
    static uint8_t wire[65536];
    const size_t n = encode(wire, record);
    if (expected_length) {
        EXPECT_EQ(n, expected_length);
    }
    ZDR z;
    zdrmem_create(&z, reinterpret_cast<char*>(wire), uint32_t(n), ZDR_DECODE);
    Res r{};
    ASSERT_TRUE(decode(&z, &r));
    EXPECT_EQ(zdr_getpos(&z), n);
    expect(r);
    zdr_destroy(&z);
}
#define CHECK_RES(what, encoder, record, Res, ...) \
    check<Res>(what, encoder, &record, zdrproc_t(zdr_##Res), [&](Res & r) { __VA_ARGS__; })
// The same with the length the encoding must have.
#define CHECK_RES_SIZED(length, what, encoder, record, Res, ...) \
    check<Res>(what, encoder, &record, zdrproc_t(zdr_##Res), [&](Res & r) { __VA_ARGS__; }, length)

TEST(NfsResults, Version3FixedShapesDecodeWithLibnfs) {
    nfs3_attr_res attr{0, sample_attr()};
    CHECK_RES("getattr", nfs3_encode_attr, attr, GETATTR3res, expect_fattr3(r.GETATTR3res_u.resok.obj_attributes));
    nfs3_attr_res attr_fail{70, sample_attr()};
    CHECK_RES("getattr stale", nfs3_encode_attr, attr_fail, GETATTR3res, EXPECT_EQ(r.status, NFS3ERR_STALE));
    nfs3_wcc_res w{0, wcc()};
    CHECK_RES("setattr", nfs3_encode_wcc, w, SETATTR3res, expect_wcc(r.SETATTR3res_u.resok.obj_wcc));
    nfs3_lookup_res look{0, fh(20), post(), post()};
    CHECK_RES("lookup", nfs3_encode_lookup, look, LOOKUP3res, expect_fh(r.LOOKUP3res_u.resok.object, 20);
              expect_post(r.LOOKUP3res_u.resok.obj_attributes); expect_post(r.LOOKUP3res_u.resok.dir_attributes));
    nfs3_lookup_res look_fail{2, fh(20), post(), post()};
    CHECK_RES("lookup noent", nfs3_encode_lookup, look_fail, LOOKUP3res,
              expect_post(r.LOOKUP3res_u.resfail.dir_attributes));
    nfs3_access_res acc{0, post(), 0x1D};
    CHECK_RES("access", nfs3_encode_access, acc, ACCESS3res, EXPECT_EQ(r.ACCESS3res_u.resok.access, 0x1Du));
    nfs3_readlink_res link{0, post(), 6, "../lib"};
    CHECK_RES("readlink", nfs3_encode_readlink, link, READLINK3res,
              EXPECT_STREQ(r.READLINK3res_u.resok.data, "../lib"));
    nfs3_write_res wr{0, wcc(), 13, 2, {1, 2, 3, 4, 5, 6, 7, 8}};
    CHECK_RES("write", nfs3_encode_write, wr, WRITE3res, expect_wcc(r.WRITE3res_u.resok.file_wcc);
              EXPECT_EQ(r.WRITE3res_u.resok.count, 13u); EXPECT_EQ(r.WRITE3res_u.resok.committed, FILE_SYNC);
              EXPECT_EQ(r.WRITE3res_u.resok.verf[7], 8));
    nfs3_create_res cr{0, fh(32), post(), wcc()};
    CHECK_RES("create", nfs3_encode_create, cr, CREATE3res,
              ASSERT_EQ(r.CREATE3res_u.resok.obj.handle_follows, 1u);
              expect_fh(r.CREATE3res_u.resok.obj.post_op_fh3_u.handle, 32);
              expect_post(r.CREATE3res_u.resok.obj_attributes); expect_wcc(r.CREATE3res_u.resok.dir_wcc));
    nfs3_create_res cr_fail{17, fh(32), post(), wcc()};
    CHECK_RES("create exists", nfs3_encode_create, cr_fail, CREATE3res, expect_wcc(r.CREATE3res_u.resfail.dir_wcc));
    nfs3_rename_res ren{0, wcc(), wcc()};
    CHECK_RES("rename", nfs3_encode_rename, ren, RENAME3res, expect_wcc(r.RENAME3res_u.resok.todir_wcc));
    nfs3_link_res ln{18, post(), wcc()};
    CHECK_RES("link xdev", nfs3_encode_link, ln, LINK3res, expect_post(r.LINK3res_u.resfail.file_attributes);
              expect_wcc(r.LINK3res_u.resfail.linkdir_wcc));
    nfs3_fsstat_res st{0, post(), 1, 2, 3, 65535, 65535, 65535, 0};
    CHECK_RES("fsstat", nfs3_encode_fsstat, st, FSSTAT3res, EXPECT_EQ(r.FSSTAT3res_u.resok.abytes, 3u);
              EXPECT_EQ(r.FSSTAT3res_u.resok.afiles, 65535u));
    nfs3_fsinfo_res fi{0, post(), 8192, 8192, 4096, 8192, 8192, 4096, 6400, 0xFFFFFFFFFFFFFFFEull, {1, 0}, 0x1B};
    CHECK_RES("fsinfo", nfs3_encode_fsinfo, fi, FSINFO3res, EXPECT_EQ(r.FSINFO3res_u.resok.dtpref, 6400u);
              EXPECT_EQ(r.FSINFO3res_u.resok.maxfilesize, 0xFFFFFFFFFFFFFFFEull);
              EXPECT_EQ(r.FSINFO3res_u.resok.time_delta.seconds, 1u);
              EXPECT_EQ(r.FSINFO3res_u.resok.properties, 0x1Bu));
    nfs3_pathconf_res pc{0, post(), 1024, 255, true, false, true, true};
    CHECK_RES("pathconf", nfs3_encode_pathconf, pc, PATHCONF3res, EXPECT_EQ(r.PATHCONF3res_u.resok.name_max, 255u);
              EXPECT_EQ(r.PATHCONF3res_u.resok.chown_restricted, 0u);
              EXPECT_EQ(r.PATHCONF3res_u.resok.case_insensitive, 1u));
    nfs3_commit_res cm{0, nfs_wcc{{}, post()}, {9, 9, 9, 9, 9, 9, 9, 9}};
    CHECK_RES("commit", nfs3_encode_commit, cm, COMMIT3res,
              EXPECT_EQ(r.COMMIT3res_u.resok.file_wcc.before.attributes_follow, 0u);
              EXPECT_EQ(r.COMMIT3res_u.resok.verf[0], 9));
}

TEST(NfsResults, ReadDataIsTakenWhereItWasReadOrMovedDown) {
    for (bool with_attr : {true, false}) {
        static uint8_t reply[512];
        std::memset(reply, 0xEE, sizeof reply);
        std::memcpy(reply + NFS3_READ_DATA_OFFSET, "hello", 5);
        nfs3_read_res rd{0, nfs_post_attr{with_attr, sample_attr()}, 5, true, reply + NFS3_READ_DATA_OFFSET};
        const size_t n = nfs3_encode_read(reply, &rd);
        EXPECT_EQ(n, with_attr ? NFS3_READ_DATA_OFFSET + 8 : 28u);
        ZDR z;
        zdrmem_create(&z, reinterpret_cast<char*>(reply), uint32_t(n), ZDR_DECODE);
        READ3res r{};
        ASSERT_TRUE(zdr_READ3res(&z, &r));
        EXPECT_EQ(r.READ3res_u.resok.eof, 1u);
        ASSERT_EQ(r.READ3res_u.resok.data.data_len, 5u);
        EXPECT_EQ(0, std::memcmp(r.READ3res_u.resok.data.data_val, "hello", 5));
        EXPECT_EQ(0, std::memcmp(reply + n - 3, "\0\0\0", 3));   // padding zeroed
        zdr_destroy(&z);
    }
    // A 400-byte verifier leaves Datasize - 16 bytes in a Datasize + 512 buffer.
    rpc_call call{};
    call.verf_len = 400;
    const size_t room = 8192 + 512 - rpc_results_offset(&call);
    EXPECT_EQ(nfs_read_count_fit(8192, room, NFS3_READ_DATA_OFFSET), 8192u - 16);
    EXPECT_EQ(nfs_read_count_fit(100, room, NFS3_READ_DATA_OFFSET), 100u);
    EXPECT_EQ(nfs_read_count_fit(100, 50, NFS3_READ_DATA_OFFSET), 0u);
}

// Lists of names "name-<i>" added until refused.
struct listed {
    std::vector<std::string> names;
    uint32_t eof;
    size_t length;
};

listed list3(size_t room, size_t limit, bool plus, uint32_t dircount = 1000) {
    static uint8_t reply[16384];
    nfs_dirlist list;
    const uint8_t verifier[8] = {};
    EXPECT_TRUE(nfs3_dirlist_begin(&list, reply, room, limit, post(), verifier));
    list.dircount = dircount;
    for (uint32_t i = 0; i < 100; ++i) {
        const std::string name = "name-" + std::to_string(i);
        const bool added = plus ? nfs3_dirlist_add_plus(&list, i + 1, name.data(), uint32_t(name.size()), i + 1,
                                                        post(), fh(20))
                                : nfs3_dirlist_add(&list, i + 1, name.data(), uint32_t(name.size()), i + 1);
        if (!added) break;
    }
    EXPECT_TRUE(list.cut);
    nfs_dirlist_end(&list, false);
    nfs3_readdir_res res{0, post(), &list};
    static uint8_t wire[16384];
    listed out{};
    out.length = nfs3_encode_readdir(wire, &res);
    ZDR z;
    zdrmem_create(&z, reinterpret_cast<char*>(wire), uint32_t(out.length), ZDR_DECODE);
    if (plus) {
        READDIRPLUS3res r{};
        EXPECT_TRUE(zdr_READDIRPLUS3res(&z, &r));
        for (entryplus3* e = r.READDIRPLUS3res_u.resok.reply.entries; e; e = e->nextentry) {
            out.names.push_back(e->name);
            expect_fh(e->name_handle.post_op_fh3_u.handle, 20);
        }
        out.eof = r.READDIRPLUS3res_u.resok.reply.eof;
    } else {
        READDIR3res r{};
        EXPECT_TRUE(zdr_READDIR3res(&z, &r));
        for (entry3* e = r.READDIR3res_u.resok.reply.entries; e; e = e->nextentry) out.names.push_back(e->name);
        out.eof = r.READDIR3res_u.resok.reply.eof;
    }
    EXPECT_EQ(zdr_getpos(&z), out.length);
    zdr_destroy(&z);
    return out;
}

TEST(NfsResults, DirectoryListsStayWithinTheCountAndTheBuffer) {
    struct budget {
        size_t room, limit;
        bool plus;
    };
    for (const budget& b : {budget{16384, 1000, false}, budget{600, 16384, false}, budget{16384, 2000, true},
                            budget{1000, 16384, true}}) {
        const listed l = list3(b.room, b.limit, b.plus);
        EXPECT_LE(l.length, std::min(b.room, b.limit));
        // One more entry would not have fitted.
        const size_t entry = b.plus ? 24 + 8 + 88 + 8 + 20 : 32;
        EXPECT_GT(l.length + entry, std::min(b.room, b.limit)) << l.names.size();
        EXPECT_FALSE(l.names.empty());
        EXPECT_EQ(l.names[0], "name-0");
        EXPECT_EQ(l.eof, 0u);
    }
    // READDIRPLUS: an entry whose directory part exceeds dircount is refused.
    nfs_dirlist list;
    static uint8_t reply[1024];
    const uint8_t verifier[8] = {};
    ASSERT_TRUE(nfs3_dirlist_begin(&list, reply, sizeof reply, sizeof reply, post(), verifier));
    list.dircount = 31;
    EXPECT_FALSE(nfs3_dirlist_add_plus(&list, 1, "abcdefghi", 9, 1, post(), fh(20)));   // 24 + 12
    EXPECT_FALSE(nfs3_dirlist_begin(&list, reply, 100, 100, post(), verifier));
}

TEST(NfsResults, Version2ShapesDecodeWithLibnfs) {
    nfs2_attr_res attr{0, sample_attr()};
    CHECK_RES("attrstat", nfs2_encode_attr, attr, GETATTR2res, expect_fattr2(r.GETATTR2res_u.resok.attributes));
    nfs2_dirop_res dop{0, {{20, 0, 0, 0, 5}}, sample_attr()};
    CHECK_RES("diropres", nfs2_encode_dirop, dop, LOOKUP2res, EXPECT_EQ(r.LOOKUP2res_u.resok.file[4], 5);
              expect_fattr2(r.LOOKUP2res_u.resok.attributes));
    nfs2_dirop_res dop_fail{2, {}, sample_attr()};
    CHECK_RES_SIZED(4, "diropres noent", nfs2_encode_dirop, dop_fail, LOOKUP2res, EXPECT_EQ(r.status, NFS3ERR_NOENT));
    nfs2_status_res st{13};
    CHECK_RES_SIZED(4, "status", nfs2_encode_status, st, REMOVE2res, EXPECT_EQ(r.status, NFS3ERR_ACCES));
    nfs2_readlink_res rl{0, 3, "abc"};
    CHECK_RES("readlink", nfs2_encode_readlink, rl, READLINK2res, EXPECT_STREQ(r.READLINK2res_u.resok.data, "abc"));
    nfs2_statfs_res sf{0, 8192, 4096, 100, 50, 50};
    CHECK_RES("statfs", nfs2_encode_statfs, sf, STATFS2res, EXPECT_EQ(r.STATFS2res_u.resok.blocks, 100u);
              EXPECT_EQ(r.STATFS2res_u.resok.bavail, 50u));
    static uint8_t data[8] = {'v', '2', 'd', 'a', 't', 'a'};
    nfs2_read_res rd{0, sample_attr(), 6, data};
    CHECK_RES_SIZED(NFS2_READ_DATA_OFFSET + 8, "read", nfs2_encode_read, rd, READ2res, ASSERT_EQ(r.READ2res_u.resok.data.nfsdata2_len, 6u);
              EXPECT_EQ(0, std::memcmp(r.READ2res_u.resok.data.nfsdata2_val, "v2data", 6)));

    // READDIR: padded names count against the client's count.
    static uint8_t reply[1024];
    nfs_dirlist list;
    ASSERT_TRUE(nfs2_dirlist_begin(&list, reply, sizeof reply, 4 + 24 + 8));   // room for one 5-byte name
    EXPECT_TRUE(nfs2_dirlist_add(&list, 7, "first", 5, 1));
    EXPECT_FALSE(nfs2_dirlist_add(&list, 8, "x", 1, 2));
    nfs_dirlist_end(&list, false);
    nfs2_readdir_res rdr{0, &list};
    CHECK_RES_SIZED(4 + 24 + 8, "readdir", nfs2_encode_readdir, rdr, READDIR2res, ASSERT_NE(r.READDIR2res_u.resok.entries, nullptr);
              EXPECT_STREQ(r.READDIR2res_u.resok.entries->name, "first");
              EXPECT_EQ(r.READDIR2res_u.resok.entries->fileid, 7u);
              EXPECT_EQ(r.READDIR2res_u.resok.entries->nextentry, nullptr);
              EXPECT_EQ(r.READDIR2res_u.resok.eof, 0u));
}

}  // namespace

TEST(NfsResults, Version2StatfsClampsCountsBeyond32Bits) {
    // 2^32 + 5 blocks cut to 32 bits would read as 5: a huge disk shown nearly full.
    const statfs_values big{(1ull << 32) + 5, (1ull << 32) + 1, 4096};
    const nfs2_statfs_res r = nfs2_statfs_of(big, 8192);
    EXPECT_EQ(r.blocks, 0xFFFFFFFFu);
    EXPECT_EQ(r.bfree, 0xFFFFFFFFu);
    EXPECT_EQ(r.bavail, 0xFFFFFFFFu);
    const nfs2_statfs_res small = nfs2_statfs_of({1000, 400, 4096}, 8192);
    EXPECT_EQ(std::vector<uint32_t>({small.tsize, small.bsize, small.blocks, small.bfree, small.bavail}),
              std::vector<uint32_t>({8192, 4096, 1000, 400, 400}));
}
