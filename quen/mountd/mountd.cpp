#include "quen/mountd/mountd.h"

#include "quen/config/settings.h"
#include "quen/inode/handle.h"
#include "quen/mount/export_text.h"
#include "quen/mount/exports.h"
#include "quen/mount/mount_file.h"
#include "quen/mount/mount_folder.h"
#include "quen/mount/mount_path.h"
#include "quen/mount/mount_table.h"
#include "quen/mount/mount_text.h"
#include "rpc/log.h"
#include "rpc/proc_table.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kLoopback = 0x0100007Fu;   // 127.0.0.1 in network order

// DUMP and EXPORT items are encoded straight into the reply: the budget, an
// item's overshoot of it, the end word and the header with the largest
// verifier fit a service handle's buffer.
static_assert(kMountReplyBudget + 8 + 24 + RPC_AUTH_MAX <= uint32_t(RPC_SERVICE_CAPACITY));

bool export_visible(const export_entry& e, uint32_t client) {
    if (!g_settings.record.filter_exports && !(e.fixed.entry_options & EXPORT_HIDE)) return true;
    return client == kLoopback || export_client_allowed(e, client);
}

// The directory DUMP shows: the alias and the part below the export's folder,
// or the client form of the mounted path.
std::string dump_directory(const mount_entry_copy& e) {
    const std::string& folder = e.exp->folder;
    const std::string mounted = e.path.empty() ? folder : e.path;
    if (e.exp->alias.empty()) return client_path_form(mounted);
    std::string below = mounted.size() > folder.size() ? mounted.substr(folder.size()) : std::string();
    for (char& c : below)
        if (c == '\\') c = '/';
    return e.exp->alias + below;
}

size_t put_string(uint8_t* dst, const std::string& s) { return xdr_enc_opaque(dst, s.data(), uint32_t(s.size())); }

// MNT and UMNT: the path.
struct dirpath_args {
    char path[XDR_PATH_MAX];
};

// A NUL inside the path would cut it short and name another folder.
bool decode_dirpath(xdr_cursor* args, void* record) {
    xdr_cursor peek = *args;
    uint32_t length = 0;
    char* path = static_cast<dirpath_args*>(record)->path;
    return xdr_get_u32(&peek, &length) && xdr_get_name(args, path, XDR_PATH_MAX) && std::strlen(path) == length;
}

void report_bad_path(const rpc_call* call, const rpc_proc*) {
    if (call->procedure == MOUNTPROC_MNT)
        log_event(2, "mount%u invalid mount path\n", unsigned(call->version));
    else
        log_event(2, "mountd: cannot decode unmount request\n");
}

struct mnt_result {
    uint32_t status;
    uint32_t variable;   // version 3: the handle in "FHsize" bytes and the flavours
    uint32_t fh_size_setting;
    internal_handle fh;
};

size_t encode_mnt(uint8_t* dst, const void* result) {
    const auto* r = static_cast<const mnt_result*>(result);
    size_t n = xdr_enc_u32(dst, r->status);
    if (r->status != MNT_OK) return n;
    if (!r->variable) return n + handle_encode_fixed(dst + n, r->fh);
    n += handle_encode_variable(dst + n, r->fh, r->fh_size_setting);
    const uint32_t flavors[] = {AUTH_UNIX};
    return n + xdr_enc_u32_array(dst + n, flavors, 1);
}

bool do_mnt(rpc_handle* h, rpc_call* call, const void* args, void* result) {
    const char* path = static_cast<const dirpath_args*>(args)->path;
    const std::string canonical = mount_path_canonical(path);
    auto* r = static_cast<mnt_result*>(result);
    const uint32_t client = h->peer.addr;
    uint32_t encoding = request_name_encoding(call->stamp);
    const std::string who = dotted_ipv4(client);
    log_event(2, "mount%u request from %s  %x %u\n", unsigned(call->version), who.c_str(), unsigned(call->stamp),
              unsigned(encoding));
    r->status = MNT_ERR_ACCES;
    export_entry* exp = nullptr;
    std::string windows;
    if (path[0] != 0 && export_find(canonical.c_str(), client, &encoding, &exp, &windows) == 0 && exp &&
        mount_path_inside_export(*exp, windows)) {
        const folder_mount m = mount_folder_record(client, exp, windows, encoding, h->protocol);
        switch (m.status) {
        case MOUNT_FOLDER_OK:
            r->fh = handle_make(uint32_t(m.identity), uint32_t(m.identity >> 32), m.mount_id);
            r->status = MNT_OK;
            break;
        case MOUNT_FOLDER_REFUSED: break;
        case MOUNT_FOLDER_NO_VOLUME: r->status = MNT_ERR_NODEV; break;
        case MOUNT_FOLDER_MISSING:
        case MOUNT_FOLDER_NOT_DIRECTORY: r->status = MNT_ERR_NOTDIR; break;
        default: r->status = MNT_ERR_NXIO; break;
        }
    }
    r->variable = call->version == 3;
    r->fh_size_setting = g_settings.record.fh_size;
    const char* what = r->status == MNT_OK ? ""
                       : r->status == MNT_ERR_ACCES ? "access denied "
                       : r->status == MNT_ERR_NODEV ? "volume error "
                       : r->status == MNT_ERR_NOTDIR ? "folder error "
                                                     : "error ";
    log_event(1, "mount%u %s%s %s\n", unsigned(call->version), what, who.c_str(), ansi_text(path).c_str());
    return true;
}

// DUMP and EXPORT: whose view of the lists the items are.
struct list_result {
    uint32_t client;
};

size_t encode_dump(uint8_t* dst, const void* result) {
    const uint32_t client = static_cast<const list_result*>(result)->client;
    size_t n = 0;
    for (const mount_entry_copy& e : mount_table_snapshot()) {
        if (!e.exp || !export_visible(*e.exp, client)) continue;
        std::string host = e.fixed.host_name[0] ? std::string(e.fixed.host_name) : dotted_ipv4(e.fixed.client_address);
        std::string dir = dump_directory(e);
        if (host.size() > kMountHostNameSize) host.resize(kMountHostNameSize);
        if (dir.size() > kPathSize) dir.resize(kPathSize);
        if (n + host.size() + dir.size() + 16 > kMountReplyBudget) break;
        n += xdr_enc_u32(dst + n, 1);
        n += put_string(dst + n, host);
        n += put_string(dst + n, dir);
    }
    return n + xdr_enc_u32(dst + n, 0);
}

bool do_dump(rpc_handle* h, rpc_call*, const void*, void* result) {
    static_cast<list_result*>(result)->client = h->peer.addr;
    log_event(2, "mount dump %s\n", dotted_ipv4(h->peer.addr).c_str());
    return true;
}

bool do_umnt(rpc_handle* h, rpc_call* call, const void* args, void*) {
    const char* path = static_cast<const dirpath_args*>(args)->path;
    const uint32_t client = h->peer.addr;
    uint32_t encoding = request_name_encoding(call->stamp);
    export_entry* exp = nullptr;
    std::string windows;
    if (path[0] != 0 && export_find(mount_path_canonical(path).c_str(), client, &encoding, &exp, &windows) == 0 &&
        mount_remove_path(client, windows.c_str()))
        mounttab_save(mounttab_path().c_str());
    log_event(1, "unmount %s %s\n", dotted_ipv4(client).c_str(), ansi_text(path).c_str());
    return true;
}

bool do_umntall(rpc_handle* h, rpc_call*, const void*, void*) {
    const uint32_t client = h->peer.addr;
    log_event(1, "unmount all %s\n", dotted_ipv4(client).c_str());
    if (mount_remove_client(client) != 0) mounttab_save(mounttab_path().c_str());
    return true;
}

size_t encode_export(uint8_t* dst, const void* result) {
    const uint32_t client = static_cast<const list_result*>(result)->client;
    size_t n = 0;
    exports_hold hold;
    for (const export_entry* e = exports_active(); e; e = e->next) {
        if (!export_visible(*e, client)) continue;
        std::string dir = e->alias.empty() ? client_path_form(e->folder) : e->alias;
        if (dir.size() > kPathSize) dir.resize(kPathSize);
        std::vector<std::string> groups;
        for (uint32_t a : e->addresses) groups.push_back(dotted_ipv4(a));
        char text[kPathSize];
        if (export_encoding_text(*e, text, sizeof text)) groups.push_back(text);
        uint32_t flags = e->fixed.mount_flags;
        uint32_t options = e->fixed.entry_options;
        for (size_t len; (len = export_option_next(&flags, &options, *e, text, sizeof text)) != 0;)
            groups.push_back(std::string(text, len));
        size_t need = dir.size() + 16;
        for (const std::string& g : groups) need += xdr_pad4(uint32_t(g.size())) + 8;
        if (n + need > kMountReplyBudget) break;
        n += xdr_enc_u32(dst + n, 1);
        n += put_string(dst + n, dir);
        for (const std::string& g : groups) {
            n += xdr_enc_u32(dst + n, 1);
            n += put_string(dst + n, g);
        }
        n += xdr_enc_u32(dst + n, 0);
    }
    return n + xdr_enc_u32(dst + n, 0);
}

bool do_export(rpc_handle* h, rpc_call*, const void*, void* result) {
    static_cast<list_result*>(result)->client = h->peer.addr;
    log_event(2, "export dump %s\n", dotted_ipv4(h->peer.addr).c_str());
    return true;
}

// The same procedures in every version; MNT tells the handle forms apart.
constexpr rpc_proc k_procs[] = {
    rpc_proc_null("mountd_null"),
    rpc_proc_entry<dirpath_args, mnt_result>(1, "mountd_mnt", decode_dirpath, do_mnt, encode_mnt),
    rpc_proc_entry<rpc_no_record, list_result>(2, "mountd_dump", nullptr, do_dump, encode_dump),
    rpc_proc_entry<dirpath_args, rpc_no_record>(3, "mountd_umnt", decode_dirpath, do_umnt, nullptr),
    rpc_proc_entry<rpc_no_record, rpc_no_record>(4, "mountd_umntall", nullptr, do_umntall, nullptr),
    rpc_proc_entry<rpc_no_record, list_result>(5, "mountd_export", nullptr, do_export, encode_export),
};
static_assert(rpc_procs_numbered(k_procs));
constexpr uint32_t k_proc_count = sizeof k_procs / sizeof k_procs[0];

const rpc_program k_versions[] = {
    {MOUNT_PROGRAM, 1, k_procs, k_proc_count, nullptr, report_bad_path},
    {MOUNT_PROGRAM, 2, k_procs, k_proc_count, nullptr, report_bad_path},
    {MOUNT_PROGRAM, 3, k_procs, k_proc_count, nullptr, report_bad_path},
};

}  // namespace

const rpc_program* mountd_program(uint32_t version) {
    return version >= 1 && version <= 3 ? &k_versions[version - 1] : nullptr;
}
