// The file layer's operations called the way tests think of them: a handle
// and a caller. Each opens the request first, as the protocol layers do, and
// answers its status when the handle does not open.
#pragma once
#include "quen/fs/create.h"
#include "quen/fs/dir_scan.h"
#include "quen/fs/file_io.h"
#include "quen/fs/handle_calls.h"
#include "quen/fs/links.h"
#include "quen/fs/lookup.h"
#include "quen/fs/mknod.h"
#include "quen/fs/remove.h"
#include "quen/fs/rename.h"
#include "quen/fs/resolve.h"
#include "quen/fs/set_attr.h"

#include <memory>

namespace fs_calls {

// Any sender: the tests' exports admit every host.
inline constexpr uint32_t kSender = 0x7F000001;

// Opens fh for cred and runs op on the request; out is reset first, as the
// operations reset what they return.
template <typename Out, typename Op>
uint32_t on(const internal_handle& fh, const fs_credential& cred, Out& out, Op op) {
    auto q = std::make_unique<fs_request>();
    if (uint32_t status = fs_request_open(fh, cred, kSender, *q)) {
        out = {};
        return status;
    }
    return op(*q);
}

}  // namespace fs_calls

inline uint32_t fs_getattr(const internal_handle& fh, const fs_credential& cred, file_attributes& out,
                           const wp_file_information* known = nullptr) {
    return fs_calls::on(fh, cred, out, [&](const fs_request& q) { return fs_getattr(q, out, known); });
}
inline uint32_t fs_statfs(const internal_handle& fh, statfs_values& out) {
    return fs_calls::on(fh, fs_credential{}, out, [&](const fs_request& q) { return fs_statfs(q, out); });
}
inline uint32_t fs_fsinfo_properties(const internal_handle& fh, uint32_t* properties, const fs_credential& cred,
                                     file_attributes& attributes) {
    return fs_calls::on(fh, cred, attributes,
                        [&](const fs_request& q) { return fs_fsinfo_properties(q, properties, attributes); });
}
inline uint32_t fs_pathconf_values(const internal_handle& fh, const fs_credential& cred, pathconf_values& values,
                                   file_attributes& attributes) {
    values = {};
    return fs_calls::on(fh, cred, attributes,
                        [&](const fs_request& q) { return fs_pathconf_values(q, values, attributes); });
}
inline uint32_t file_read(const internal_handle& fh, uint64_t offset, uint32_t* count, uint8_t* buffer,
                          const fs_credential& cred, file_attributes& after) {
    return fs_calls::on(fh, cred, after, [&](const fs_request& q) { return file_read(q, offset, count, buffer, after); });
}
inline uint32_t file_write(const internal_handle& fh, uint64_t offset, uint32_t* count, const uint8_t* data,
                           uint32_t sync_mode, const fs_credential& cred, file_attributes& before,
                           file_attributes& after) {
    before = {};
    return fs_calls::on(fh, cred, after, [&](const fs_request& q) {
        return file_write(q, offset, count, data, sync_mode, before, after);
    });
}
inline uint32_t file_commit(const internal_handle& fh, const fs_credential& cred, file_attributes& attributes) {
    return fs_calls::on(fh, cred, attributes, [&](const fs_request& q) { return file_commit(q, attributes); });
}
inline uint32_t open_directory(const internal_handle& fh, const fs_credential& cred, bool want_attributes,
                               open_dir& out) {
    auto q = std::make_unique<fs_request>();
    if (uint32_t status = fs_request_open(fh, cred, fs_calls::kSender, *q)) return status;
    return open_directory(*q, want_attributes, out);
}
inline uint32_t fs_create(const internal_handle& dir, const char* name, size_t name_length, uint32_t how,
                          const xdr_sattr& request, const uint8_t* verifier, const fs_credential& cred,
                          bool with_dir_attributes, create_result& out) {
    return fs_calls::on(dir, cred, out, [&](const fs_request& q) {
        return fs_create(q, name, name_length, how, request, verifier, with_dir_attributes, out);
    });
}
inline uint32_t fs_mkdir(const internal_handle& dir, const char* name, size_t name_length, const xdr_sattr& request,
                         const fs_credential& cred, bool with_dir_attributes, create_result& out) {
    return fs_calls::on(dir, cred, out, [&](const fs_request& q) {
        return fs_mkdir(q, name, name_length, request, with_dir_attributes, out);
    });
}
inline uint32_t fs_link(const internal_handle& file, const internal_handle& dir, const char* name,
                        size_t name_length, const fs_credential& cred, bool with_dir_attributes,
                        create_result& out) {
    return fs_calls::on(file, cred, out, [&](const fs_request& f) {
        return fs_calls::on(dir, cred, out, [&](const fs_request& d) {
            return fs_link(f, d, name, name_length, with_dir_attributes, out);
        });
    });
}
inline uint32_t fs_symlink(const internal_handle& dir, const char* name, size_t name_length,
                           const xdr_sattr& request, const char* target, size_t target_length,
                           const fs_credential& cred, bool with_dir_attributes, create_result& out) {
    return fs_calls::on(dir, cred, out, [&](const fs_request& q) {
        return fs_symlink(q, name, name_length, request, target, target_length, with_dir_attributes, out);
    });
}
inline uint32_t fs_readlink(const internal_handle& link, char* buffer, size_t size, const fs_credential& cred,
                            file_attributes& attributes) {
    if (buffer && size) buffer[0] = 0;
    return fs_calls::on(link, cred, attributes,
                        [&](const fs_request& q) { return fs_readlink(q, buffer, size, attributes); });
}
inline uint32_t fs_lookup(const internal_handle& dir, const char* name, size_t name_length, uint32_t client,
                          const fs_credential& cred, bool with_dir_attributes, lookup_result& out) {
    return fs_calls::on(dir, cred, out, [&](const fs_request& q) {
        return fs_lookup(q, name, name_length, client, with_dir_attributes, out);
    });
}
inline uint32_t fs_mknod(const internal_handle& dir, const char* name, size_t name_length, uint32_t type,
                         const xdr_sattr& request, uint32_t major, uint32_t minor, const fs_credential& cred,
                         bool with_dir_attributes, create_result& out) {
    return fs_calls::on(dir, cred, out, [&](const fs_request& q) {
        return fs_mknod(q, name, name_length, type, request, major, minor, with_dir_attributes, out);
    });
}
inline uint32_t fs_remove(const internal_handle& dir, const char* name, size_t name_length,
                          const fs_credential& cred, bool with_dir_attributes, dir_attributes_pair& pair) {
    return fs_calls::on(dir, cred, pair,
                        [&](const fs_request& q) { return fs_remove(q, name, name_length, with_dir_attributes, pair); });
}
inline uint32_t fs_rmdir(const internal_handle& dir, const char* name, size_t name_length, const fs_credential& cred,
                         bool with_dir_attributes, dir_attributes_pair& pair) {
    return fs_calls::on(dir, cred, pair,
                        [&](const fs_request& q) { return fs_rmdir(q, name, name_length, with_dir_attributes, pair); });
}
inline uint32_t fs_rename(const internal_handle& from_dir, const char* from_name, size_t from_length,
                          const internal_handle& to_dir, const char* to_name, size_t to_length,
                          const fs_credential& cred, bool with_dir_attributes, rename_result& out) {
    return fs_calls::on(from_dir, cred, out, [&](const fs_request& f) {
        return fs_calls::on(to_dir, cred, out, [&](const fs_request& t) {
            return fs_rename(f, from_name, from_length, t, to_name, to_length, with_dir_attributes, out);
        });
    });
}
inline uint32_t fs_setattr(const internal_handle& fh, const xdr_sattr& request, const fs_credential& cred,
                           file_attributes& before, file_attributes& after) {
    before = {};
    return fs_calls::on(fh, cred, after,
                        [&](const fs_request& q) { return fs_setattr(q, request, before, after); });
}
