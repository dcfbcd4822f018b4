#include "quen/config/settings.h"

#include "platform/path.h"
#include "quen/config/registry_access.h"
#include "quen/config/char_class.h"
#include "rpc/settings.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

quen_settings g_settings;

namespace {

enum width : uint8_t { W16 = 2, W32 = 4 };

struct numeric_setting {
    const char* name;
    int32_t fallback;
    uint16_t offset;   // into quen_settings
    width size;
};

#define REC(field) uint16_t(offsetof(quen_settings, record) + offsetof(server_config, field))
#define EXT(field) uint16_t(offsetof(quen_settings, field))

constexpr int32_t kSoRcvbufDefault = -1;   // computed from Datasize and Threads

// Read in this order; SO_Rcvbuf's default depends on the values before it.
constexpr numeric_setting kNumeric[] = {
    {"Log", 1, REC(log), W32},
    {"UDP", 1, REC(udp), W32},
    {"TCP", 1, REC(tcp), W32},
    {"Port", 2049, REC(port), W16},
    {"Mount-Port", 1058, REC(mount_port), W16},
    {"Mount-Resolv", 0, REC(mount_resolv), W32},
    {"WebNFS", 0, REC(webnfs), W32},
    {"NLM", 0, REC(nlm), W32},
    {"NLM-Port", 4045, REC(nlm_port), W16},
    {"Version2", 1, REC(version2), W32},
    {"Version3", 1, REC(version3), W32},
    {"Threads", 4, REC(threads), W32},
    {"HardLinks", 1, REC(hard_links), W32},
    {"SoftLinks", 1, REC(soft_links), W32},
    {"Datasize", 8192, REC(datasize), W32},
    {"NFS2Write", 0, REC(nfs2_write), W32},
    {"NFS3Write", 0, REC(nfs3_write_mode), W32},
    {"CreateAccess", 0, REC(create_access), W32},
    {"InodeReset", 0, REC(inode_reset), W32},
    {"SetExec", 0, REC(set_exec), W32},
    {"MapRoot", 0, REC(map_root), W32},
    {"FilterExports", 0, REC(filter_exports), W32},
    {"FileId", 1, REC(file_id), W32},
    {"Automount", 2, REC(automount), W32},
    {"SaveAttr", 0, REC(save_attr), W32},
    {"Lowercase", 1, REC(lowercase), W32},
    {"DirCount", 0, REC(dir_count), W32},
    {"PortMapperRegistration", 1, EXT(portmapper_registration), W32},
    {"RPCTIMEOUT", 2, EXT(rpc_timeout), W32},
    {"RPCIDLE", 30, EXT(rpc_idle), W32},
    {"TCPthreads", 2, EXT(tcp_threads), W32},
    {"InodeSize", 131072, EXT(inode_size), W32},
    {"DirBits", 6, EXT(dir_bits), W32},
    {"DirLimit", 9999, EXT(dir_limit), W32},
    {"DirTimeout", 5000, EXT(dir_timeout), W32},
    {"SpinCount", 4000, EXT(spin_count), W32},
    {"MountsPerClient", 64, EXT(mounts_per_client), W32},
    {"Mounts", 4096, EXT(mounts_max), W32},
    {"TCPidle", 900, EXT(tcp_idle), W32},
    {"TCPrecordTime", 30, EXT(tcp_record_time), W32},
    {"TCPconnections", 512, EXT(tcp_connections), W32},
    {"TCPperClient", 32, EXT(tcp_per_client), W32},
    {"PipeIdle", 120, EXT(pipe_idle), W32},
    {"PortMapper", 0, REC(portmapper), W32},
    {"Mount", 1, REC(mount), W32},
    {"Dirsize", 6400, REC(dir_reply_size), W32},
    {"FHsize", 20, REC(fh_size), W32},
    {"Cache", 8, REC(cache), W32},
    {"Locktime", 180, REC(locktime_ms), W32},
    {"InodeCheck", 0, REC(inode_check), W32},
    {"CodePage", 0, REC(code_page), W32},
    {"ReadDirPlus", 1, REC(read_dir_plus), W32},
    {"x2system", 0, REC(x2system), W32},
    {"win10tag", int32_t(0xAAAAAAAAu), REC(win10tag), W32},
    {"SO_Rcvbuf", kSoRcvbufDefault, REC(so_rcvbuf), W32},
    {"SO_Tcpbuf", 262144, REC(so_tcpbuf), W32},
};

#undef REC
#undef EXT

void store(quen_settings& s, const numeric_setting& n, int32_t v) {
    auto* at = reinterpret_cast<unsigned char*>(&s) + n.offset;
    if (n.size == W16) {
        const uint16_t v16 = uint16_t(v);
        std::memcpy(at, &v16, sizeof v16);
    } else {
        const uint32_t v32 = uint32_t(v);
        std::memcpy(at, &v32, sizeof v32);
    }
}

int32_t read_numeric(const quen_settings& s, const numeric_setting& n) {
    int32_t fallback = n.fallback;
    if (fallback == kSoRcvbufDefault)
        fallback = int32_t((s.record.datasize + 512) * s.record.threads);
    int32_t v = fallback;
    if (!config_read_number(kServerSection, n.name, v)) return fallback;
    // A port is 16 bits; a number outside them is a typing error, not a port.
    if (n.size == W16 && (v < 0 || v > 65535)) return fallback;
    return v;
}

// Reads a path setting into Windows form with a trailing backslash when `dir`.
void read_path(const char* name, const char* fallback, char* out, unsigned max_chars, bool dir) {
    char text[kPathSize];
    config_read_string(kServerSection, name, fallback, text, sizeof text);
    if (std::strlen(text) > max_chars) std::snprintf(text, sizeof text, "%s", fallback);
    size_t n = path_from_setting(text, out, kPathSize - 1);
    if (n == 0 && text[0]) n = path_from_setting(fallback, out, kPathSize - 1);
    // Without its separator the directory would run into the file names.
    if (dir && n > 0 && out[n - 1] != '\\' && out[n - 1] != '/') {
        out[n] = '\\';
        out[n + 1] = 0;
    }
}

void read_char_map(quen_settings& s) {
    std::memset(s.char_map, 0, sizeof s.char_map);
    for (unsigned c = 32; c <= 127; ++c) {
        if (char_class(uint8_t(c)) != CHAR_INVALID) continue;
        char name[16];
        std::snprintf(name, sizeof name, "Map_%u", c);
        int32_t v = 0;
        if (!config_read_number(kServerSection, name, v)) continue;
        if (v >= 32 && v <= 126 && char_class(uint8_t(v)) != CHAR_INVALID) s.char_map[c] = uint8_t(v);
    }
}

}  // namespace

bool config_default(const char* name, int32_t& out) {
    for (const auto& n : kNumeric) {
        if (std::strcmp(n.name, name) == 0 && n.fallback != kSoRcvbufDefault) {
            out = n.fallback;
            return true;
        }
    }
    return false;
}

bool parse_dotted_ipv4(const char* text, uint32_t& out) {
    if (!text) return false;
    uint32_t addr = 0;
    const char* p = text;
    for (int part = 0; part < 4; ++part) {
        if (*p < '0' || *p > '9') return false;
        unsigned v = 0, digits = 0;
        for (; *p >= '0' && *p <= '9'; ++p) {
            v = v * 10 + unsigned(*p - '0');
            if (++digits > 3 || v > 255) return false;
        }
        addr = addr << 8 | v;
        if (part < 3 && *p++ != '.') return false;
    }
    if (*p) return false;
    out = addr;
    return true;
}

void config_read(quen_settings& s, const char* program_dir) {
    std::memset(&s, 0, sizeof s);
    std::snprintf(s.program_dir, sizeof s.program_dir, "%s", program_dir ? program_dir : "");
    read_path("Directory", s.program_dir, s.data_dir, kPathSize - 2, true);

    for (const auto& n : kNumeric) store(s, n, read_numeric(s, n));

    server_config& r = s.record;
    if (s.dir_bits < 6) s.dir_bits = 6;
    if (s.dir_bits > 8) s.dir_bits = 8;
    if (s.dir_limit == 0) s.dir_limit = 9999;
    if (r.fh_size != 32) r.fh_size = 20;
    r.max_read = r.max_write = r.datasize;
    if (r.dir_reply_size > r.datasize) r.dir_reply_size = r.datasize;
    r.locktime_ms *= 1000;
    r.nfs3_write_unstable = r.nfs3_write_mode & 0x10;
    r.nfs3_write_mode &= 0x0F;

    char ip[64];
    config_read_string(kServerSection, "LocalIPAddress", "", ip, sizeof ip);
    uint32_t addr = 0;
    const size_t ip_len = std::strlen(ip);
    if (ip_len < sizeof s.local_ip_text && parse_dotted_ipv4(ip, addr)) {
        s.local_ip_address = addr;
        std::memcpy(s.local_ip_text, ip, ip_len + 1);
    }

    read_path("LogDir", s.data_dir, s.log_dir, kLogDirMax, true);
    read_path("InodePath", "", s.inode_path, kPathSize - 1, false);

    read_char_map(s);
    config_read_string(kServerSection, "EscapeList", "", s.escape_list, sizeof s.escape_list);
}

void config_apply_to_rpc(const quen_settings& s) {
    g_rpc_settings.rpc_timeout = uint32_t(s.rpc_timeout);
    g_rpc_settings.rpc_idle = uint32_t(s.rpc_idle);
    g_rpc_settings.threads = s.record.threads;
    g_rpc_settings.tcp_threads = uint32_t(s.tcp_threads);
    g_rpc_settings.portmapper_registration = uint32_t(s.portmapper_registration);
    g_rpc_settings.local_ip_address = s.local_ip_address;
    // A connection needs some time to say anything at all.
    g_rpc_settings.tcp_idle_seconds = s.tcp_idle ? s.tcp_idle : 1;
    g_rpc_settings.tcp_record_seconds = s.tcp_record_time ? s.tcp_record_time : 1;
    g_rpc_settings.tcp_max_connections = s.tcp_connections;
    g_rpc_settings.tcp_per_client = s.tcp_per_client;
}
