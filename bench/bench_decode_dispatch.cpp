// Call-header decode and dispatch per second on prepared messages, without
// the network: decode alone, decode plus dispatch into a program that only
// counts, and the demo program's ECHO with its reply encoded in place (that
// figure includes one loopback datagram send per call).
//
// usage: bench_decode_dispatch [seconds per figure, default 1]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/net.h"
#include "rpc/log.h"
#include "rpc/message.h"
#include "rpc/proc_table.h"
#include "rpc/settings.h"
#include "tests/support/demo_program.h"

namespace {

using bench_clock = std::chrono::steady_clock;

constexpr uint32_t COUNTING_PROGRAM = 0x20000002;
constexpr uint32_t FILLER_PROGRAM = 0x20000100;   // entries ahead of it in the list
constexpr int FILLER_ENTRIES = 9;                 // about as many as the server registers

long g_dispatched = 0;
int count_dispatch(const rpc_program*, rpc_handle*, rpc_call*) {
    ++g_dispatched;
    return RPC_RUN_SILENT;
}
int filler_dispatch(const rpc_program*, rpc_handle*, rpc_call*) { return RPC_RUN_SILENT; }

const rpc_program k_counting = {COUNTING_PROGRAM, 1, nullptr, 0, nullptr, nullptr, nullptr, count_dispatch};
rpc_program g_fillers[FILLER_ENTRIES];

struct message {
    uint8_t bytes[1200];
    size_t len;
};

message make_message(uint32_t program, uint32_t procedure, bool unix_cred, uint32_t echo_bytes) {
    message m{};
    uint8_t cred[RPC_AUTH_MAX + 4];
    uint32_t cred_len = 0;
    if (unix_cred) {
        static const uint32_t gids[16] = {4, 20, 24, 25, 27, 29, 30, 44, 46, 100, 101, 102, 103, 104, 105, 106};
        uint8_t* p = cred + 4;
        p += xdr_enc_u32(p, 0x5eed);
        p += xdr_enc_string(p, "benchhost", 255);
        p += xdr_enc_u32(p, 1000);
        p += xdr_enc_u32(p, 1000);
        p += xdr_enc_u32_array(p, gids, 16);
        cred_len = uint32_t(p - (cred + 4));
    }
    xdr_store32(cred, cred_len);
    static const uint32_t empty = 0;
    size_t n = xdr_put(m.bytes, "qqqqqqqOqo", 0x1234u, RPC_CALL, RPC_PROTOCOL_VERSION, program, 1u, procedure,
                       unix_cred ? AUTH_UNIX : AUTH_NULL, cred, AUTH_NULL, &empty);
    if (echo_bytes) {
        uint8_t payload[DEMO_ECHO_MAX];
        std::memset(payload, 'e', sizeof payload);
        n += xdr_enc_opaque(m.bytes + n, payload, echo_bytes);
    }
    m.len = n;
    return m;
}

// Runs `step` in batches until `seconds` have passed; result: steps per second.
template <typename Step>
double rate_of(double seconds, Step step) {
    long steps = 0;
    auto start = bench_clock::now();
    auto end = start + std::chrono::duration<double>(seconds);
    bench_clock::time_point now;
    do {
        for (int i = 0; i < 4096; ++i) step();
        steps += 4096;
        now = bench_clock::now();
    } while (now < end);
    return double(steps) / std::chrono::duration<double>(now - start).count();
}

void report(const char* what, double rate) {
    std::printf("%-44s %11.0f per second  (%6.1f ns each)\n", what, rate, 1e9 / rate);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
    if (seconds <= 0) seconds = 1.0;
    if (!net_startup()) return 1;
    g_rpc_settings.portmapper_registration = 0;
    g_log_level = 0;

    // Replies go to a sink socket that nobody reads; loopback drops what does not fit.
    socket_guard sink(rpc_udp_server_socket(0x7F000001u, 0, false));
    socket_guard out(rpc_udp_server_socket(0x7F000001u, 0, false));
    rpc_handle* h = rpc_handle_create(out.s, RPC_UDP, 5599, RPC_SERVICE_CAPACITY);
    if (sink.s == NET_INVALID || out.s == NET_INVALID || !h || !net_local_address(sink.s, &h->peer)) {
        std::fprintf(stderr, "bench_decode_dispatch: cannot set up sockets\n");
        return 1;
    }
    bool registered = rpc_register(h, &k_counting, RPC_UDP) && demo_register(h);
    for (int i = 0; i < FILLER_ENTRIES; ++i) {
        g_fillers[i] = {FILLER_PROGRAM + uint32_t(i), 1, nullptr, 0, nullptr, nullptr, nullptr, filler_dispatch};
        registered = registered && rpc_register(h, &g_fillers[i], RPC_UDP);
    }
    if (!registered) {
        std::fprintf(stderr, "bench_decode_dispatch: cannot register the programs\n");
        return 1;
    }

    const message null_plain = make_message(COUNTING_PROGRAM, 0, false, 0);
    const message null_unix = make_message(COUNTING_PROGRAM, 0, true, 0);
    const message echo_unix = make_message(DEMO_PROGRAM, DEMO_PROC_ECHO, true, 512);
    rpc_call call{};
    auto load = [&](const message& m) {
        std::memcpy(h->buffer, m.bytes, m.len);
        h->msg_len = int32_t(m.len);
    };

    std::printf("%d programs registered; the counting program is found last\n", FILLER_ENTRIES + 3);
    load(null_plain);
    report("decode, AUTH_NULL", rate_of(seconds, [&] { rpc_decode_call(h, &call); }));
    load(null_unix);
    report("decode, AUTH_UNIX with 16 gids", rate_of(seconds, [&] { rpc_decode_call(h, &call); }));
    load(null_plain);
    g_dispatched = 0;
    report("decode + dispatch, AUTH_NULL", rate_of(seconds, [&] {
               if (rpc_decode_call(h, &call)) rpc_dispatch(h, &call);
           }));
    load(null_unix);
    report("decode + dispatch, AUTH_UNIX with 16 gids", rate_of(seconds, [&] {
               if (rpc_decode_call(h, &call)) rpc_dispatch(h, &call);
           }));
    if (g_dispatched == 0) std::fprintf(stderr, "bench_decode_dispatch: nothing was dispatched\n");
    // The reply overwrites the request in the buffer, so each call is loaded again.
    report("ECHO 512 bytes, reply encoded and sent", rate_of(seconds, [&] {
               load(echo_unix);
               if (rpc_decode_call(h, &call)) rpc_dispatch(h, &call);
           }));

    rpc_handle_free(h);
    net_cleanup();
    return 0;
}
