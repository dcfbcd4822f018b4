// The "mounttab" reader over any text, and the handle decoders and the MOUNT
// procedures over any argument bytes: the reader must skip what it cannot
// parse, restore the rest, and every line the table then writes must read
// back as the same entry; the procedures must answer inside the buffer.
#include "quen/inode/handle.h"
#include "quen/mount/mount_file.h"
#include "quen/mount/mount_table.h"
#include "quen/mountd/mountd.h"
#include "rpc/proc_table.h"
#include "rpc/transport.h"
#include "rpc/log.h"
#include "tests/fuzz/fuzz_check.h"

#include <cstring>
#include <string>

namespace {

export_entry g_export;

bool restore_into_table(const mounttab_line& line) {
    FUZZ_CHECK(!line.mounted_path.empty() && line.mounted_path.size() <= kMountPathMax);
    FUZZ_CHECK(!line.folder.empty() && line.folder.size() <= kMountPathMax);
    FUZZ_CHECK(line.mounted_path.find('\0') == std::string::npos);
    mount_request r;
    r.client = line.client;
    r.path = line.mounted_path;
    r.exp = &g_export;
    r.root_identity = 64;
    r.encoding = line.encoding;
    r.origin = line.origin;
    r.given_id = line.mount_id;
    return mount_record(r, nullptr) != MOUNT_RECORD_FAILED;
}

void check_decoders(const uint8_t* data, size_t size) {
    const xdr_cursor start{0, int32_t(size), data};
    for (uint32_t fh_size : {20u, 24u, 32u}) {
        xdr_cursor c = start;
        internal_handle h;
        if (handle_decode_variable(&c, &h, fh_size)) {
            const uint32_t length = xdr_load32(data);
            FUZZ_CHECK(length == 0 || length == handle_wire_size(fh_size));
            FUZZ_CHECK(c.pos == int32_t(1 + length / 4));
            for (uint32_t w = length / 4; w < 8; ++w) FUZZ_CHECK(h.word[w] == 0);
        } else {
            FUZZ_CHECK(c.pos == 0);
        }
    }
    xdr_cursor c = start;
    internal_handle h;
    FUZZ_CHECK(handle_decode_fixed(&c, &h) == (size >= 32));
    c = start;
    if (handle_decode_netobj(&c, &h)) FUZZ_CHECK(xdr_load32(data) == 32 && c.pos == 9);
}

// Every procedure of every version with the input as its arguments. The
// handle has no socket: the reply is built in its buffer and the send fails.
void check_procedures(const uint8_t* data, size_t size) {
    static rpc_handle* h = [] {
        rpc_handle* made = rpc_handle_create(NET_INVALID, RPC_UDP, 0, RPC_SERVICE_CAPACITY);
        FUZZ_CHECK(made != nullptr);
        made->peer = net_make_addr(0x7F000001u, 9);
        made->peer_len = NET_ADDR4_LEN;
        return made;
    }();
    for (uint32_t version = 1; version <= 3; ++version) {
        for (uint32_t procedure = 0; procedure <= 6; ++procedure) {
            rpc_call call{};
            call.msg_type = RPC_CALL;
            call.rpc_version = RPC_PROTOCOL_VERSION;
            call.program = MOUNT_PROGRAM;
            call.version = version;
            call.procedure = procedure;
            call.cred_flavor = AUTH_UNIX;
            call.verf_flavor = AUTH_NULL;
            call.args = xdr_cursor{0, int32_t(size), data};
            h->msg_len = 0;
            rpc_run_program(mountd_program(version), h, &call);
            FUZZ_CHECK(call.args.pos >= 0 && size_t(call.args.pos) * 4 <= size);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 16)) return 0;
    g_log_level = 0;   // damaged lines are expected here, by the thousand
    check_decoders(data, size);
    check_procedures(data, size);

    g_export.folder = "C:\\exported";
    g_export.fixed = export_image_defaults();
    mount_table_clear();
    const mounttab_load_report report =
        mounttab_load_text(reinterpret_cast<const char*>(data), size, restore_into_table);
    FUZZ_CHECK(report.dropped == 0);
    FUZZ_CHECK(mount_table_size() <= report.restored);

    // What the table writes reads back entry for entry.
    const std::string text = mounttab_text();
    size_t at = 0;
    for (const mount_entry_copy& e : mount_table_snapshot()) {
        const size_t end = text.find('\n', at);
        FUZZ_CHECK(end != std::string::npos);
        mounttab_line line;
        FUZZ_CHECK(mounttab_parse_line(text.data() + at, end - at, &line));
        FUZZ_CHECK(line.client == e.fixed.client_address && line.origin == e.fixed.origin);
        FUZZ_CHECK(line.encoding == e.fixed.name_encoding && line.mount_id == e.fixed.mount_id);
        FUZZ_CHECK(line.folder == g_export.folder);
        FUZZ_CHECK(line.mounted_path == (e.path.empty() ? g_export.folder : e.path));
        at = end + 1;
    }
    FUZZ_CHECK(at == text.size());
    mount_table_clear();
    return 0;
}
