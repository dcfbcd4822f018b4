#include "quen/mount/mountd.h"

#include "quen/config/settings.h"
#include "quen/inode/handle.h"
#include "quen/mount/export_text.h"
#include "quen/mount/exports.h"
#include "quen/mount/mount_file.h"
#include "quen/mount/mount_folder.h"
#include "quen/mount/mount_table.h"
#include "quen/mount/mount_text.h"
#include "rpc/log.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kLoopback = 0x0100007Fu;   // 127.0.0.1 in network order

struct prepared_reply {
    std::vector<uint8_t> bytes;
};

size_t put_prepared(uint8_t* dst, const void* result) {
    const prepared_reply* r = static_cast<const prepared_reply*>(result);
    if (!r->bytes.empty()) std::memcpy(dst, r->bytes.data(), r->bytes.size());
    return r->bytes.size();
}

void put_u32(std::vector<uint8_t>& b, uint32_t v) {
    const size_t at = b.size();
    b.resize(at + 4);
    xdr_store32(b.data() + at, v);
}

void put_string(std::vector<uint8_t>& b, const std::string& s) {
    put_u32(b, uint32_t(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    b.resize(b.size() + (xdr_pad4(uint32_t(s.size())) - s.size()), 0);
}

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

bool reply_void(rpc_handle* h, rpc_call* call) { return rpc_reply_success(h, call, nullptr, nullptr); }

void do_mnt(rpc_handle* h, rpc_call* call, uint32_t client) {
    char path[XDR_PATH_MAX];
    if (!xdr_get_name(&call->args, path, sizeof path)) {
        log_event(2, "mount%u invalid mount path\n", unsigned(call->version));
        rpc_reply_error(h, call, ACCEPT_GARBAGE_ARGS);
        return;
    }
    uint32_t encoding = request_name_encoding(call->stamp);
    const std::string who = dotted_ipv4(client);
    log_event(2, "mount%u request from %s  %x %u\n", unsigned(call->version), who.c_str(), unsigned(call->stamp),
              unsigned(encoding));
    uint32_t status = MNT_ERR_ACCES;
    export_entry* exp = nullptr;
    std::string windows;
    internal_handle fh{};
    if (path[0] != 0 && export_find(path, client, &encoding, &exp, &windows) == 0 && exp) {
        const folder_mount m = mount_folder_record(client, exp, windows, encoding, h->protocol);
        switch (m.status) {
        case MOUNT_FOLDER_OK:
            fh = handle_make(uint32_t(m.identity), uint32_t(m.identity >> 32), m.mount_id);
            status = MNT_OK;
            break;
        case MOUNT_FOLDER_NO_VOLUME: status = MNT_ERR_NODEV; break;
        case MOUNT_FOLDER_MISSING:
        case MOUNT_FOLDER_NOT_DIRECTORY: status = MNT_ERR_NOTDIR; break;
        default: status = MNT_ERR_NXIO; break;
        }
    }
    prepared_reply reply;
    put_u32(reply.bytes, status);
    if (status == MNT_OK) {
        uint8_t bytes[64];
        const size_t n = call->version == 3 ? handle_encode_variable(bytes, fh, g_settings.record.fh_size)
                                            : handle_encode_fixed(bytes, fh);
        reply.bytes.insert(reply.bytes.end(), bytes, bytes + n);
        if (call->version == 3) {
            put_u32(reply.bytes, 1);
            put_u32(reply.bytes, AUTH_UNIX);
        }
    }
    rpc_reply_success(h, call, put_prepared, &reply);
    const char* what = status == MNT_OK ? ""
                       : status == MNT_ERR_ACCES ? "access denied "
                       : status == MNT_ERR_NODEV ? "volume error "
                       : status == MNT_ERR_NOTDIR ? "folder error "
                                                  : "error ";
    log_event(1, "mount%u %s%s %s\n", unsigned(call->version), what, who.c_str(), ansi_text(path).c_str());
}

void do_dump(rpc_handle* h, rpc_call* call, uint32_t client) {
    log_event(2, "mount dump %s\n", dotted_ipv4(client).c_str());
    prepared_reply reply;
    size_t used = 0;
    for (const mount_entry_copy& e : mount_table_snapshot()) {
        if (!e.exp || !export_visible(*e.exp, client)) continue;
        std::string host = e.fixed.host_name[0] ? std::string(e.fixed.host_name) : dotted_ipv4(e.fixed.client_address);
        std::string dir = dump_directory(e);
        if (host.size() > kMountHostNameSize) host.resize(kMountHostNameSize);
        if (dir.size() > kPathSize) dir.resize(kPathSize);
        if (used + host.size() + dir.size() + 16 > kMountReplyBudget) break;
        const size_t before = reply.bytes.size();
        put_u32(reply.bytes, 1);
        put_string(reply.bytes, host);
        put_string(reply.bytes, dir);
        used += reply.bytes.size() - before;
    }
    put_u32(reply.bytes, 0);
    rpc_reply_success(h, call, put_prepared, &reply);
}

void do_umnt(rpc_handle* h, rpc_call* call, uint32_t client) {
    char path[XDR_PATH_MAX];
    if (!xdr_get_name(&call->args, path, sizeof path)) {
        log_event(2, "mountd: cannot decode unmount request\n");
        rpc_reply_error(h, call, ACCEPT_GARBAGE_ARGS);
        return;
    }
    uint32_t encoding = request_name_encoding(call->stamp);
    export_entry* exp = nullptr;
    std::string windows;
    if (path[0] != 0 && export_find(path, client, &encoding, &exp, &windows) == 0 &&
        mount_remove_path(client, windows.c_str()))
        mounttab_save(mounttab_path().c_str());
    log_event(1, "unmount %s %s\n", dotted_ipv4(client).c_str(), ansi_text(path).c_str());
    reply_void(h, call);
}

void do_umntall(rpc_handle* h, rpc_call* call, uint32_t client) {
    log_event(1, "unmount all %s\n", dotted_ipv4(client).c_str());
    if (mount_remove_client(client) != 0) mounttab_save(mounttab_path().c_str());
    reply_void(h, call);
}

void do_export(rpc_handle* h, rpc_call* call, uint32_t client) {
    log_event(2, "export dump %s\n", dotted_ipv4(client).c_str());
    prepared_reply reply;
    size_t used = 0;
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
        for (size_t n; (n = export_option_next(&flags, &options, *e, text, sizeof text)) != 0;)
            groups.push_back(std::string(text, n));
        size_t need = dir.size() + 16;
        for (const std::string& g : groups) need += xdr_pad4(uint32_t(g.size())) + 8;
        if (used + need > kMountReplyBudget) break;
        const size_t before = reply.bytes.size();
        put_u32(reply.bytes, 1);
        put_string(reply.bytes, dir);
        for (const std::string& g : groups) {
            put_u32(reply.bytes, 1);
            put_string(reply.bytes, g);
        }
        put_u32(reply.bytes, 0);
        used += reply.bytes.size() - before;
    }
    put_u32(reply.bytes, 0);
    rpc_reply_success(h, call, put_prepared, &reply);
}

}  // namespace

void mountd_dispatch(rpc_handle* h, rpc_call* call) {
    const uint32_t client = h->peer.addr;
    switch (call->procedure) {
    case MOUNTPROC_NULL: reply_void(h, call); break;
    case MOUNTPROC_MNT: do_mnt(h, call, client); break;
    case MOUNTPROC_DUMP: do_dump(h, call, client); break;
    case MOUNTPROC_UMNT: do_umnt(h, call, client); break;
    case MOUNTPROC_UMNTALL: do_umntall(h, call, client); break;
    case MOUNTPROC_EXPORT: do_export(h, call, client); break;
    default: rpc_reply_error(h, call, ACCEPT_PROC_UNAVAIL); break;
    }
}
