#include "tests/nfs/libnfs_args.h"

#include <cstring>

#include "quen/nfs/nfs2_args.h"
#include "quen/nfs/nfs3_args.h"

using namespace lib;

namespace {

char* bytes(const void* p) { return const_cast<char*>(static_cast<const char*>(p)); }

nfs_fh3 fh3(const nfs3_fh& f) { return nfs_fh3{{f.length, bytes(f.data)}}; }
diropargs3 dirop3(const nfs_dirop3& d) { return diropargs3{fh3(d.dir), bytes(d.name)}; }
diropargs2 dirop2(const nfs_dirop2& d) {
    diropargs2 out{};
    std::memcpy(out.dir, d.dir.data, FHSIZE2);
    out.name = bytes(d.name);
    return out;
}

sattr3 sattr(const nfs3_sattr& s) {
    const xdr_sattr& a = s.attr;
    sattr3 out{};
    out.mode = {a.set_mode, {a.mode}};
    out.uid = {a.set_uid, {a.uid}};
    out.gid = {a.set_gid, {a.gid}};
    out.size = {a.set_size, {a.size}};
    out.atime.set_it = time_how(s.atime_how);
    out.atime.set_atime_u.atime = {a.atime_sec, a.atime_nsec};
    out.mtime.set_it = time_how(s.mtime_how);
    out.mtime.set_mtime_u.mtime = {a.mtime_sec, a.mtime_nsec};
    return out;
}

uint32_t usec(uint32_t nsec) { return nsec == 0xFFFFFFFFu ? nsec : nsec / 1000; }
sattr2 sattr(const xdr_sattr& a) {
    return sattr2{a.mode, a.uid, a.gid, uint32_t(a.size), {a.atime_sec, usec(a.atime_nsec)},
                  {a.mtime_sec, usec(a.mtime_nsec)}};
}

// MKNOD types outside ftype3 have no encoding in libnfs.
bool libnfs_has_type(uint32_t type) { return type >= NF_REG && type <= NF_FIFO; }

// One converter per record: `convert(record, libnfs struct)`.
template <typename Record, typename Lib, auto convert>
bool to(const void* record, void* out) {
    static_assert(sizeof(Record) <= kRecordStorage && sizeof(Lib) <= kLibnfsStorage);
    return convert(*static_cast<const Record*>(record), *static_cast<Lib*>(out));
}

#define CASE(name, decoder, Record, Lib, ...) \
    {name, decoder, zdrproc_t(zdr_##Lib), to<Record, Lib, [](const Record& r, Lib& l) { __VA_ARGS__; return true; }>}

}  // namespace

const nfs_arg_case kNfsArgCases[] = {
    CASE("nfs3 handle", nfs3_decode_handle, nfs3_handle_args, GETATTR3args, l.object = fh3(r.object)),
    CASE("nfs3 setattr", nfs3_decode_setattr, nfs3_setattr_args, SETATTR3args,
         l.object = fh3(r.object); l.new_attributes = sattr(r.attributes);
         l.guard = {r.guard_check, {{r.guard_ctime.seconds, r.guard_ctime.nseconds}}}),
    CASE("nfs3 dirop", nfs3_decode_dirop, nfs3_dirop_args, LOOKUP3args, l.what = dirop3(r.what)),
    CASE("nfs3 access", nfs3_decode_access, nfs3_access_args, ACCESS3args,
         l.object = fh3(r.object); l.access = r.access),
    CASE("nfs3 read", nfs3_decode_read, nfs3_read_args, READ3args,
         l = {fh3(r.file), r.offset, r.count}),
    CASE("nfs3 write", nfs3_decode_write, nfs3_write_args, WRITE3args,
         l = {fh3(r.file), r.offset, r.count, stable_how(r.stable), {r.count, bytes(r.data)}}),
    CASE("nfs3 create", nfs3_decode_create, nfs3_create_args, CREATE3args,
         l.where = dirop3(r.where); l.how.mode = createmode3(r.how);
         if (r.how == NFS3_CREATE_EXCLUSIVE) std::memcpy(l.how.createhow3_u.verf, r.verifier, 8);
         else l.how.createhow3_u.obj_attributes = sattr(r.attributes)),
    CASE("nfs3 mkdir", nfs3_decode_mkdir, nfs3_mkdir_args, MKDIR3args,
         l = {dirop3(r.where), sattr(r.attributes)}),
    CASE("nfs3 symlink", nfs3_decode_symlink, nfs3_symlink_args, SYMLINK3args,
         l = {dirop3(r.where), {sattr(r.attributes), bytes(r.target)}}),
    CASE("nfs3 mknod", nfs3_decode_mknod, nfs3_mknod_args, MKNOD3args,
         if (!libnfs_has_type(r.type)) return false;
         l.where = dirop3(r.where); l.what.type = ftype3(r.type);
         if (r.type == NF_BLK || r.type == NF_CHR)
             l.what.mknoddata3_u.chr_device = {sattr(r.attributes), {r.major, r.minor}};
         else l.what.mknoddata3_u.sock_attributes = sattr(r.attributes)),
    CASE("nfs3 rename", nfs3_decode_rename, nfs3_rename_args, RENAME3args,
         l = {dirop3(r.from), dirop3(r.to)}),
    CASE("nfs3 link", nfs3_decode_link, nfs3_link_args, LINK3args, l = {fh3(r.file), dirop3(r.link)}),
    CASE("nfs3 readdir", nfs3_decode_readdir, nfs3_readdir_args, READDIR3args,
         l.dir = fh3(r.dir); l.cookie = r.cookie; std::memcpy(l.cookieverf, r.verifier, 8); l.count = r.count),
    CASE("nfs3 readdirplus", nfs3_decode_readdirplus, nfs3_readdirplus_args, READDIRPLUS3args,
         l.dir = fh3(r.dir); l.cookie = r.cookie; std::memcpy(l.cookieverf, r.verifier, 8);
         l.dircount = r.dircount; l.maxcount = r.maxcount),
    CASE("nfs3 commit", nfs3_decode_commit, nfs3_commit_args, COMMIT3args, l = {fh3(r.file), r.offset, r.count}),

    CASE("nfs2 handle", nfs2_decode_handle, nfs2_handle_args, GETATTR2args,
         std::memcpy(l.fhandle, r.object.data, FHSIZE2)),
    CASE("nfs2 setattr", nfs2_decode_setattr, nfs2_setattr_args, SETATTR2args,
         std::memcpy(l.fhandle, r.object.data, FHSIZE2); l.attributes = sattr(r.attributes)),
    CASE("nfs2 dirop", nfs2_decode_dirop, nfs2_dirop_args, LOOKUP2args, l.what = dirop2(r.what)),
    CASE("nfs2 read", nfs2_decode_read, nfs2_read_args, READ2args,
         std::memcpy(l.file, r.file.data, FHSIZE2); l.offset = r.offset; l.count = r.count;
         l.totalcount = r.totalcount),
    CASE("nfs2 write", nfs2_decode_write, nfs2_write_args, WRITE2args,
         std::memcpy(l.file, r.file.data, FHSIZE2); l.beginoffset = r.beginoffset; l.offset = r.offset;
         l.totalcount = r.totalcount; l.data = {r.length, bytes(r.data)}),
    CASE("nfs2 create", nfs2_decode_create, nfs2_create_args, CREATE2args,
         l = {dirop2(r.where), sattr(r.attributes)}),
    CASE("nfs2 rename", nfs2_decode_rename, nfs2_rename_args, RENAME2args, l = {dirop2(r.from), dirop2(r.to)}),
    CASE("nfs2 link", nfs2_decode_link, nfs2_link_args, LINK2args,
         std::memcpy(l.from, r.from.data, FHSIZE2); l.to = dirop2(r.to)),
    CASE("nfs2 symlink", nfs2_decode_symlink, nfs2_symlink_args, SYMLINK2args,
         l = {dirop2(r.from), bytes(r.target), sattr(r.attributes)}),
    CASE("nfs2 readdir", nfs2_decode_readdir, nfs2_readdir_args, READDIR2args,
         std::memcpy(l.dir, r.dir.data, FHSIZE2); xdr_store32(reinterpret_cast<uint8_t*>(l.cookie), r.cookie);
         l.count = r.count),
};
const size_t kNfsArgCaseCount = sizeof kNfsArgCases / sizeof kNfsArgCases[0];

int libnfs_encode(zdrproc_t encode, void* args, uint8_t* out, size_t size) {
    ZDR z;
    zdrmem_create(&z, reinterpret_cast<char*>(out), uint32_t(size), ZDR_ENCODE);
    const bool ok = encode(&z, args) != 0;
    const int n = int(zdr_getpos(&z));
    zdr_destroy(&z);
    return ok ? n : -1;
}

int reencode(const nfs_arg_case& k, const uint8_t* in, size_t size, uint8_t* out, size_t out_size,
             size_t* consumed) {
    alignas(8) static thread_local uint8_t record[kRecordStorage];
    alignas(8) static thread_local uint8_t lib[kLibnfsStorage];
    std::memset(record, 0, sizeof record);
    std::memset(lib, 0, sizeof lib);
    xdr_cursor c{0, int32_t(size), in};
    if (!k.decode(&c, record)) return -1;
    *consumed = size_t(c.pos) * 4;
    if (!k.to_libnfs(record, lib)) return -2;
    const int n = libnfs_encode(k.encode, lib, out, out_size);
    return n < 0 ? -2 : n;
}
