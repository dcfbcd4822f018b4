#include "quen/config/registry_access.h"
#include "quen/config/settings.h"

#include <cstring>

namespace {

struct written_value {
    const char* name;
    uint32_t (*get)(const server_config&);
};

// The values an administrator changes through the control panel, in the order
// they are written.
constexpr written_value kWritten[] = {
    {"Log", [](const server_config& r) { return r.log; }},
    {"UDP", [](const server_config& r) { return r.udp; }},
    {"TCP", [](const server_config& r) { return r.tcp; }},
    {"Port", [](const server_config& r) { return uint32_t(r.port); }},
    {"Mount-Port", [](const server_config& r) { return uint32_t(r.mount_port); }},
    {"Mount-Resolv", [](const server_config& r) { return r.mount_resolv; }},
    {"WebNFS", [](const server_config& r) { return r.webnfs; }},
    {"NLM", [](const server_config& r) { return r.nlm; }},
    {"NLM-Port", [](const server_config& r) { return uint32_t(r.nlm_port); }},
    {"Version2", [](const server_config& r) { return r.version2; }},
    {"Version3", [](const server_config& r) { return r.version3; }},
    {"Threads", [](const server_config& r) { return r.threads; }},
    {"Datasize", [](const server_config& r) { return r.datasize; }},
    {"InodeReset", [](const server_config& r) { return r.inode_reset; }},
    {"FileId", [](const server_config& r) { return r.file_id; }},
    {"Lowercase", [](const server_config& r) { return r.lowercase; }},
    {"CreateAccess", [](const server_config& r) { return r.create_access; }},
    {"SaveAttr", [](const server_config& r) { return r.save_attr; }},
    {"DirCount", [](const server_config& r) { return r.dir_count; }},
    {"NFS2Write", [](const server_config& r) { return r.nfs2_write; }},
    {"NFS3Write", [](const server_config& r) { return (r.nfs3_write_mode & 0x0F) | (r.nfs3_write_unstable & 0x10); }},
    {"SoftLinks", [](const server_config& r) { return r.soft_links; }},
    {"HardLinks", [](const server_config& r) { return r.hard_links; }},
    {"FilterExports", [](const server_config& r) { return r.filter_exports; }},
    {"SetExec", [](const server_config& r) { return r.set_exec; }},
    {"MapRoot", [](const server_config& r) { return r.map_root; }},
};

}  // namespace

bool config_write_back(const server_config& record) {
    bool ok = true;
    for (const auto& w : kWritten) {
        int32_t fallback = 0;
        config_default(w.name, fallback);
        ok = config_write_number(kServerSection, w.name, int32_t(w.get(record)), fallback) && ok;
    }
    return ok;
}
