#include "lumeno/core/panel_rpc.h"

#include "lumeno/core/panel_lists.h"
#include "lumeno/core/panel_texts.h"
#include "platform/net.h"
#include "platform/thread.h"

#include <ctime>

namespace {

constexpr int kWaitMs = 2000;
constexpr int kWaitRetries = 20;
constexpr uint32_t kHostMax = 511, kFolderMax = 2047, kGroupMax = 511, kClientsMax = 8191;
constexpr uint32_t kEntryGuard = 100000;

uint32_t load32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
void store32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

struct cursor {
    const uint8_t* p;
    uint32_t left;
    bool u32(uint32_t* v) {
        if (left < 4) return false;
        *v = load32(p);
        p += 4;
        left -= 4;
        return true;
    }
    // A string of at most max bytes (a longer one is cut to max).
    bool text(std::string* out, uint32_t max) {
        uint32_t n = 0;
        if (!u32(&n) || n > left) return false;
        const uint32_t padded = (n + 3) & ~3u;
        out->assign(reinterpret_cast<const char*>(p), n < max ? n : max);
        const uint32_t skip = padded <= left ? padded : left;
        p += skip;
        left -= skip;
        return true;
    }
};

uint32_t next_xid() {
    static uint32_t xid = uint32_t(std::time(nullptr) % 65536);
    return ++xid;
}

// Receives the whole reply into buf. Result: bytes, or -1.
int receive(net_socket s, bool tcp, uint8_t* buf) {
    for (int pass = 0; pass < kWaitRetries; ++pass) {
        const int w = net_wait_one(s, kWaitMs);
        if (w == 0) return -1;
        if (w < 0) continue;
        if (!tcp) return net_recv(s, buf, int(kPanelRpcBufferSize));
        uint32_t have = 0;
        for (;;) {
            uint8_t mark[4];
            for (uint32_t got = 0; got < 4;) {
                if (net_wait_one(s, kWaitMs) <= 0) return -1;
                const int n = net_recv(s, mark + got, int(4 - got));
                if (n <= 0) return -1;
                got += uint32_t(n);
            }
            const uint32_t word = load32(mark), length = word & 0x7FFFFFFF;
            if (length > kPanelRpcBufferSize - have) return -1;
            for (uint32_t got = 0; got < length;) {
                if (net_wait_one(s, kWaitMs) <= 0) return -1;
                const int n = net_recv(s, buf + have + got, int(length - got));
                if (n <= 0) return -1;
                got += uint32_t(n);
            }
            have += length;
            if (word & 0x80000000u) return int(have);
        }
    }
    return -1;
}

}  // namespace

int panel_rpc_check_reply(const uint8_t* r, uint32_t size, uint32_t xid, uint32_t* result_offset) {
    if (size < 20) return PANEL_RPC_SHORT;
    if (load32(r) != xid) return PANEL_RPC_XID;
    if (load32(r + 4) != 1) return PANEL_RPC_NOT_REPLY;
    if (load32(r + 8) != 0) return load32(r + 12) == 0 ? PANEL_RPC_MISMATCH : PANEL_RPC_AUTH;
    // The accept status follows an empty verifier (flavour and length at 12 and 16).
    if (size < 24) return PANEL_RPC_SHORT;
    switch (load32(r + 20)) {
    case 0: break;
    case 1: return PANEL_RPC_PROG_UNAVAIL;
    case 2: return PANEL_RPC_PROG_MISMATCH;
    case 3: return PANEL_RPC_PROC_UNAVAIL;
    default: return PANEL_RPC_OTHER;
    }
    *result_offset = 24;
    return 1;
}

int panel_rpc_query(uint32_t program, uint32_t version, uint32_t procedure, uint16_t port, bool tcp,
                    std::vector<uint8_t>* result) {
    result->clear();
    const uint32_t xid = next_xid();
    // xid, call, RPC version 2, program, version, procedure, AUTH_NULL credential and verifier.
    uint8_t call[4 + 40];
    const uint32_t words[10] = {xid, 0, 2, program, version, procedure, 0, 0, 0, 0};
    for (int i = 0; i < 10; ++i) store32(call + 4 + 4 * i, words[i]);
    store32(call, 0x80000000u | 40);   // the record mark of the one fragment (TCP only)
    socket_guard s(tcp ? net_tcp_socket() : net_udp_socket(false));
    if (s.s == NET_INVALID) return PANEL_RPC_NO_ANSWER;
    const net_addr4 peer = net_make_addr(0x7F000001u, port);
    if (tcp) {
        if (!net_connect(s.s, peer) || net_send(s.s, call, int(sizeof call)) != int(sizeof call))
            return PANEL_RPC_NO_ANSWER;
    } else {
        if (!net_set_option(s.s, NET_SO_BROADCAST, 1) || !net_bind(s.s, net_make_addr(0, 0)))
            return PANEL_RPC_NO_ANSWER;
        bool sent = false;
        for (int attempt = 0; attempt < 3 && !sent; ++attempt) {
            sent = net_sendto(s.s, call + 4, 40, peer) == 40;
            if (!sent) sleep_ms(0);
        }
        if (!sent) return PANEL_RPC_NO_ANSWER;
    }
    std::vector<uint8_t> buf(kPanelRpcBufferSize);
    // A late answer to an earlier call is passed over: the answer to this one may follow.
    for (int late = 0; late < kWaitRetries; ++late) {
        const int n = receive(s.s, tcp, buf.data());
        if (n < 0) return PANEL_RPC_NO_ANSWER;
        uint32_t at = 0;
        const int rc = panel_rpc_check_reply(buf.data(), uint32_t(n), xid, &at);
        if (rc == PANEL_RPC_XID && !tcp) continue;
        if (rc != 1) return rc;
        result->assign(buf.begin() + at, buf.begin() + n);
        return 1;
    }
    return PANEL_RPC_XID;
}

std::vector<panel_mount_row> panel_decode_mounts(const uint8_t* data, uint32_t size) {
    std::vector<panel_mount_row> rows;
    cursor c{data, size};
    uint32_t follows = 0;
    for (uint32_t guard = 0; guard < kEntryGuard && c.u32(&follows) && follows; ++guard) {
        panel_mount_row row;
        if (!c.text(&row.host, kHostMax) || !c.text(&row.folder, kFolderMax)) break;
        row.folder = panel_ansi(row.folder.c_str(), kFolderMax + 1);
        rows.push_back(row);
    }
    return rows;
}

std::vector<panel_portmap_row> panel_decode_portmaps(const uint8_t* data, uint32_t size) {
    std::vector<panel_portmap_row> rows;
    cursor c{data, size};
    for (uint32_t guard = 0; guard < kEntryGuard && c.left >= 20; ++guard) {
        uint32_t follows = 0;
        panel_portmap_row row{};
        c.u32(&follows);
        if (!follows) break;
        c.u32(&row.program);
        c.u32(&row.version);
        c.u32(&row.protocol);
        c.u32(&row.port);
        if (!row.program && !row.version && !(row.protocol & 0xFFFF) && !(row.port & 0xFFFF)) break;
        rows.push_back(row);
    }
    return rows;
}

std::vector<panel_export_view_row> panel_decode_exports(const uint8_t* data, uint32_t size) {
    std::vector<panel_export_view_row> rows;
    cursor c{data, size};
    uint32_t follows = 0;
    for (uint32_t guard = 0; guard < kEntryGuard && c.u32(&follows) && follows; ++guard) {
        panel_export_view_row row;
        if (!c.text(&row.folder, kFolderMax)) break;
        row.folder = panel_ansi(row.folder.c_str(), kFolderMax + 1);
        uint32_t group = 0;
        bool whole = true;
        for (uint32_t g = 0; g < kEntryGuard && (whole = c.u32(&group)) && group; ++g) {
            std::string name;
            if (!(whole = c.text(&name, kGroupMax))) break;
            std::string& column = !name.empty() && name[0] == '-' ? row.options : row.clients;
            if (&column == &row.clients && column.size() + name.size() + 1 > kClientsMax) continue;
            column += name;
            column += ' ';
        }
        rows.push_back(row);
        if (!whole) break;
    }
    return rows;
}

std::string panel_protocol_text(uint32_t protocol) {
    if (protocol == 6) return panel_text(IDS_TCP);
    if (protocol == 17) return panel_text(IDS_UDP);
    return std::to_string(protocol);
}
