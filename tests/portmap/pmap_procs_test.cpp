// The procedures through the serving entry point, on a UDP handle whose peer
// is a socket of the test: argument rules, replies, forwarding and the
// daemon's diagnostics.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/net.h"
#include "platform/thread.h"
#include "portmap/pmap_service.h"
#include "portmap/pmap_table.h"
#include "rpc/log.h"
#include "rpc/settings.h"

namespace {

using bytes = std::vector<uint8_t>;

void put(bytes& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
}
bytes words(std::initializer_list<uint32_t> vs) {
    bytes b;
    for (uint32_t v : vs) put(b, v);
    return b;
}
uint32_t word_at(const bytes& b, size_t i) {
    return (uint32_t(b[4 * i]) << 24) | (uint32_t(b[4 * i + 1]) << 16) | (uint32_t(b[4 * i + 2]) << 8) | b[4 * i + 3];
}

// A call with AUTH_NULL credential and an optional verifier body.
bytes call_msg(uint32_t xid, uint32_t prog, uint32_t vers, uint32_t proc, const bytes& args,
               const bytes& verf_body = {}) {
    bytes m = words({xid, 0, 2, prog, vers, proc, 0, 0, 0, uint32_t(verf_body.size())});
    m.insert(m.end(), verf_body.begin(), verf_body.end());
    while (m.size() % 4) m.push_back(0);
    m.insert(m.end(), args.begin(), args.end());
    return m;
}

struct sockets_up {
    sockets_up() { net_startup(); }
};

// The portmapper's UDP handle and the client socket it answers.
struct bench {
    net_socket server = NET_INVALID, client = NET_INVALID;
    rpc_handle* h = nullptr;
    rpc_call call{};

    bench() {
        static sockets_up up;
        server = net_udp_socket(false);
        client = net_udp_socket(false);
        net_bind(server, net_make_addr(0x7F000001u, 0));
        net_bind(client, net_make_addr(0x7F000001u, 0));
        h = rpc_handle_create(server, RPC_UDP, 111, RPC_SERVICE_CAPACITY);
        if (h) net_local_address(client, &h->peer);
    }
    ~bench() {
        rpc_handle_free(h);
        net_close(server);
        net_close(client);
    }
    bool ok() const { return h && server != NET_INVALID && client != NET_INVALID; }

    // Runs the message through the service; the reply, or empty when none came.
    bytes serve(const bytes& m, int wait_ms = 500) {
        std::memcpy(h->buffer, m.data(), m.size());
        h->msg_len = int32_t(m.size());
        if (rpc_decode_call(h, &call)) pmap_serve_call(h, &call);
        if (net_wait_one(client, wait_ms) <= 0) return {};
        uint8_t buf[9000];
        int n = net_recvfrom(client, buf, sizeof buf, nullptr, nullptr);
        return n > 0 ? bytes(buf, buf + n) : bytes{};
    }
};

// Accepted reply with a null verifier: xid, REPLY, ACCEPTED, flavor, length, status.
void expect_accepted(const bytes& r, uint32_t xid, uint32_t status, size_t body_words) {
    ASSERT_EQ(r.size(), 24 + 4 * body_words);
    EXPECT_EQ(word_at(r, 0), xid);
    EXPECT_EQ(word_at(r, 1), 1u);
    EXPECT_EQ(word_at(r, 2), 0u);
    EXPECT_EQ(word_at(r, 3), 0u);
    EXPECT_EQ(word_at(r, 4), 0u);
    EXPECT_EQ(word_at(r, 5), status);
}

bytes mapping(uint32_t prog, uint32_t vers, uint32_t prot, uint32_t port) { return words({prog, vers, prot, port}); }

struct PmapProcs : ::testing::Test {
    bench b;
    void SetUp() override {
        ASSERT_TRUE(b.ok());
        pmap_table_reset();
    }
    void TearDown() override { pmap_table_clear(); }
    uint32_t answer(uint32_t proc, const bytes& args, uint32_t xid = 7) {
        bytes r = b.serve(call_msg(xid, 100000, 2, proc, args));
        if (r.size() != 28 || word_at(r, 5) != 0) {
            ADD_FAILURE() << "reply of " << r.size() << " bytes";
            return 0xDEADBEEF;
        }
        return word_at(r, 6);
    }
};

TEST_F(PmapProcs, NullIsAnsweredEmpty) {
    expect_accepted(b.serve(call_msg(1, 100000, 2, 0, {})), 1, 0, 0);
}

TEST_F(PmapProcs, OtherVersionsGetProgMismatchTwoTwo) {
    for (uint32_t vers : {1u, 3u, 4u}) {
        bytes r = b.serve(call_msg(2, 100000, vers, 3, mapping(100000, 2, 17, 0)));
        expect_accepted(r, 2, 2, 2);
        EXPECT_EQ(word_at(r, 6), 2u);
        EXPECT_EQ(word_at(r, 7), 2u);
    }
}

TEST_F(PmapProcs, UnknownProcedureIsProcUnavail) {
    expect_accepted(b.serve(call_msg(3, 100000, 2, 6, {})), 3, 3, 0);
    expect_accepted(b.serve(call_msg(3, 100000, 2, 0xFFFFFFFFu, {})), 3, 3, 0);
}

TEST_F(PmapProcs, TheProgramNumberIsNotLookedAt) {
    bytes r = b.serve(call_msg(4, 100003, 2, 3, mapping(100000, 2, 6, 0)));
    expect_accepted(r, 4, 0, 1);
    EXPECT_EQ(word_at(r, 6), 111u);
}

TEST_F(PmapProcs, MappingArgumentsMustBeExactlyFourWords) {
    for (uint32_t proc : {1u, 2u, 3u}) {
        bytes twelve = words({100003, 3, 17});
        bytes twenty = words({100003, 3, 17, 2049, 0});
        expect_accepted(b.serve(call_msg(5, 100000, 2, proc, twelve)), 5, 4, 0);
        expect_accepted(b.serve(call_msg(6, 100000, 2, proc, twenty)), 6, 4, 0);
        expect_accepted(b.serve(call_msg(6, 100000, 2, proc, {})), 6, 4, 0);
    }
    EXPECT_EQ(pmap_table_size(), 2u) << "a rejected SET registers nothing";
}

TEST_F(PmapProcs, SetRefusesReservedPorts) {
    EXPECT_EQ(answer(1, mapping(100003, 3, 17, 111)), 0u);
    EXPECT_EQ(answer(1, mapping(100003, 3, 17, 1024)), 0u);
    EXPECT_EQ(answer(1, mapping(100003, 3, 17, 1025)), 1u);
    EXPECT_EQ(answer(3, mapping(100003, 3, 17, 0)), 1025u);
}

TEST_F(PmapProcs, SetTwiceThenAnotherPort) {
    EXPECT_EQ(answer(1, mapping(100003, 3, 17, 2049)), 1u);
    EXPECT_EQ(answer(1, mapping(100003, 3, 17, 2049)), 1u);
    EXPECT_EQ(answer(1, mapping(100003, 3, 17, 2050)), 0u);
    EXPECT_EQ(answer(3, mapping(100003, 3, 17, 0)), 2049u);
}

TEST_F(PmapProcs, UnsetIgnoresProtocolAndPort) {
    ASSERT_EQ(answer(1, mapping(100003, 3, 17, 2049)), 1u);
    ASSERT_EQ(answer(1, mapping(100003, 3, 6, 2049)), 1u);
    EXPECT_EQ(answer(2, mapping(100003, 3, 99, 7)), 1u);
    EXPECT_EQ(answer(3, mapping(100003, 3, 17, 0)), 0u);
    EXPECT_EQ(answer(3, mapping(100003, 3, 6, 0)), 2049u);
    EXPECT_EQ(answer(2, mapping(100000, 2, 17, 111)), 0u);
    EXPECT_EQ(answer(3, mapping(100000, 2, 17, 0)), 111u);
}

TEST_F(PmapProcs, DumpTakesNoArgumentsAndStopsAfter26) {
    expect_accepted(b.serve(call_msg(8, 100000, 2, 4, words({0}))), 8, 4, 0);
    for (uint32_t i = 0; i < 28; ++i) ASSERT_EQ(answer(1, mapping(0x20000000u + i, 1, 6, 3000 + i)), 1u);
    bytes r = b.serve(call_msg(9, 100000, 2, 4, {}));
    expect_accepted(r, 9, 0, 26 * 5 + 1);
    for (size_t i = 0; i < 26; ++i) EXPECT_EQ(word_at(r, 6 + 5 * i), 1u) << i;
    EXPECT_EQ(word_at(r, 6 + 1), 100000u);
    EXPECT_EQ(word_at(r, 6 + 3), 6u);
    EXPECT_EQ(word_at(r, 6 + 5 + 3), 17u);
    EXPECT_EQ(word_at(r, 6 + 5 * 25 + 1), 0x20000000u + 23);
    EXPECT_EQ(word_at(r, 6 + 5 * 25 + 4), 3023u);
    EXPECT_EQ(word_at(r, 6 + 5 * 26), 0u);
}

TEST_F(PmapProcs, ReplyEchoesTheCallersVerifier) {
    bytes r = b.serve(call_msg(10, 100000, 2, 3, mapping(100000, 2, 17, 0), {1, 2, 3, 4, 5}));
    // xid, REPLY, ACCEPTED, flavor, length 5, 8 bytes of body, status, port.
    ASSERT_EQ(r.size(), 36u);
    EXPECT_EQ(word_at(r, 4), 5u);
    EXPECT_EQ(r[20], 1);
    EXPECT_EQ(r[24], 5);
    EXPECT_EQ(r[25], 0);
    EXPECT_EQ(word_at(r, 7), 0u);
    EXPECT_EQ(word_at(r, 8), 111u);
}

TEST(PmapCallitDecode, LengthMustFitTheArguments) {
    bytes a = words({100003, 3, 0, 8, 1, 2});
    pmap_callit_args out{};
    xdr_cursor c{0, int32_t(a.size()), a.data()};
    ASSERT_TRUE(pmap_decode_callit(c, &out));
    EXPECT_EQ(out.program, 100003u);
    EXPECT_EQ(out.version, 3u);
    EXPECT_EQ(out.procedure, 0u);
    EXPECT_EQ(out.arg_len, 8u);
    EXPECT_EQ(out.arg_bytes, a.data() + 16);
    c.size = 23;
    EXPECT_FALSE(pmap_decode_callit(c, &out));
    c.size = 12;
    EXPECT_FALSE(pmap_decode_callit(c, &out));
    bytes huge = words({1, 1, 0, 0xFFFFFFF0u});
    xdr_cursor h{0, int32_t(huge.size()), huge.data()};
    EXPECT_FALSE(pmap_decode_callit(h, &out));
    bytes empty = words({1, 1, 0, 0});
    xdr_cursor e{0, 16, empty.data()};
    EXPECT_TRUE(pmap_decode_callit(e, &out));
    EXPECT_EQ(out.arg_len, 0u);
}

// A UDP service on 127.0.0.1 that answers one call with SUCCESS and the
// bytes "RESULTS!" followed by the version it was called with.
struct responder {
    net_socket s = NET_INVALID;
    uint16_t port = 0;
    plat_event* done = nullptr;
    int wait_ms = 5000;   // for the one call
    std::atomic<uint32_t> seen_version{0}, seen_proc{99}, seen_args{0};
    bytes seen_arg_bytes;
    bool start() {
        s = net_udp_socket(false);
        net_addr4 a{};
        if (s == NET_INVALID || !net_bind(s, net_make_addr(0x7F000001u, 0)) || !net_local_address(s, &a)) return false;
        port = net_port_host(a);
        done = event_create(true, false);
        return done && thread_start(run, this);
    }
    static void run(void* arg) {
        auto* r = static_cast<responder*>(arg);
        if (net_wait_one(r->s, r->wait_ms) > 0) {
            uint8_t buf[9000];
            net_addr4 peer{};
            int32_t plen = NET_ADDR4_LEN;
            int n = net_recvfrom(r->s, buf, sizeof buf, &peer, &plen);
            if (n >= 40) {
                bytes m(buf, buf + n);
                r->seen_version = word_at(m, 4);
                r->seen_proc = word_at(m, 5);
                r->seen_arg_bytes.assign(m.begin() + 40, m.end());
                bytes reply = words({word_at(m, 0), 1, 0, 0, 0, 0});
                const char* text = "RESULTS!";
                reply.insert(reply.end(), text, text + 8);
                put(reply, word_at(m, 4));
                net_sendto(r->s, reply.data(), int(reply.size()), peer);
            }
        }
        event_set(r->done);
    }
    ~responder() {
        if (done) {
            event_wait(done, wait_ms + 1000);
            event_close(done);
        }
        if (s != NET_INVALID) net_close(s);
    }
};

TEST_F(PmapProcs, CallitForwardsNullAndAnswersWithPortAndResults) {
    responder r;
    ASSERT_TRUE(r.start());
    ASSERT_EQ(answer(1, mapping(0x20000077u, 1, 17, r.port)), 1u);
    bytes args = words({0x20000077u, 5, 0, 8, 0xAABBCCDDu, 0x01020304u});
    bytes reply = b.serve(call_msg(11, 100000, 2, 5, args), 5000);
    ASSERT_TRUE(event_wait(r.done, 6000));
    expect_accepted(reply, 11, 0, 2 + 3);
    EXPECT_EQ(word_at(reply, 6), r.port);
    EXPECT_EQ(word_at(reply, 7), 12u);
    EXPECT_EQ(std::string(reply.begin() + 32, reply.begin() + 40), "RESULTS!");
    EXPECT_EQ(word_at(reply, 10), 5u) << "the call keeps the requested version";
    EXPECT_EQ(r.seen_proc.load(), 0u);
    EXPECT_EQ(r.seen_arg_bytes, words({0xAABBCCDDu, 0x01020304u}));
}

TEST_F(PmapProcs, CallitDropsWhatItCannotForward) {
    responder r;
    r.wait_ms = 1500;
    ASSERT_TRUE(r.start());
    ASSERT_EQ(answer(1, mapping(0x20000078u, 1, 17, r.port)), 1u);
    // Procedure 1, an unknown program, a TCP-only program, bad lengths.
    EXPECT_TRUE(b.serve(call_msg(12, 100000, 2, 5, words({0x20000078u, 1, 1, 0})), 200).empty());
    EXPECT_TRUE(b.serve(call_msg(13, 100000, 2, 5, words({0x20000079u, 1, 0, 0})), 200).empty());
    ASSERT_EQ(answer(1, mapping(0x2000007Au, 1, 6, 4000)), 1u);
    EXPECT_TRUE(b.serve(call_msg(14, 100000, 2, 5, words({0x2000007Au, 1, 0, 0})), 200).empty());
    EXPECT_TRUE(b.serve(call_msg(15, 100000, 2, 5, words({0x20000078u, 1, 0, 4})), 200).empty());
    EXPECT_TRUE(b.serve(call_msg(16, 100000, 2, 5, words({0x20000078u, 1, 0})), 200).empty());
    EXPECT_FALSE(event_wait(r.done, 0));
    EXPECT_EQ(r.seen_proc.load(), 99u) << "nothing reached the service";
}

TEST_F(PmapProcs, DaemonNotesInvalidArguments) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    const int saved_level = g_log_level;
    log_set_stream(f);
    g_pmap_verbose = true;
    g_log_level = 1;
    expect_accepted(b.serve(call_msg(17, 100000, 2, 1, words({1}))), 17, 4, 0);
    EXPECT_TRUE(b.serve(call_msg(18, 100000, 2, 5, words({1}))).empty());
    g_pmap_verbose = false;
    expect_accepted(b.serve(call_msg(19, 100000, 2, 3, words({1}))), 19, 4, 0);
    g_log_level = saved_level;
    std::fflush(f);
    std::rewind(f);
    char text[2048] = {};
    size_t n = std::fread(text, 1, sizeof text - 1, f);
    log_set_stream(stderr);   // closes f
    std::string log(text, n);
    EXPECT_NE(log.find(" ostel: rpc pmap_set with invalid arguments\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" ostel: rpc pmap_callit with invalid arguments\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("pmap_getport"), std::string::npos) << "the built-in copy is silent: " << log;
    // Time-stamped: "YYYY-MM-DD HH:MM:SS ostel: ..."
    ASSERT_GE(log.size(), 20u);
    EXPECT_EQ(log[4], '-');
    EXPECT_EQ(log[19], ' ');
}

}  // namespace
