// The client library against a scripted server on the real pipe: the reply
// checks of each helper, the reconnect after a failure, and requests it must
// not send.
#include "control_client/control_client.h"
#include "platform/pipe.h"
#include "platform/thread.h"
#include "tests/config/test_env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <string>

namespace {

// Each request gets the next scripted reply; an empty one drops the connection.
struct scripted_server {
    crit_section lock;
    std::deque<std::string> replies;
    std::atomic<int> received{0};
    std::atomic<int> accepted{0};
    std::atomic<int> peer_admin{-1};   // of the last connection, as the server decides it
    pipe_listener* listener = nullptr;
    std::atomic<bool> done{false};
};

void serve(void* arg) {
    auto* s = static_cast<scripted_server*>(arg);
    while (pipe_conn* c = pipe_accept(s->listener)) {
        s->peer_admin = pipe_peer_is_admin(c) ? 1 : 0;
        ++s->accepted;
        char buf[kControlMessageMax];
        while (pipe_read_message(c, buf, sizeof buf) >= 0) {
            ++s->received;
            std::string r;
            {
                crit_guard hold(&s->lock);
                if (!s->replies.empty()) {
                    r = s->replies.front();
                    s->replies.pop_front();
                }
            }
            if (r.empty() || !pipe_write_message(c, r.data(), uint32_t(r.size()))) break;
        }
        pipe_close(c);
    }
    s->done = true;
}

std::string words(std::initializer_list<uint32_t> w, size_t pad = 0) {
    std::string s;
    for (uint32_t v : w) {
        uint8_t b[4];
        control_put32(b, v);
        s.append(reinterpret_cast<char*>(b), 4);
    }
    return s + std::string(pad, '\0');
}

struct control_client_test : ::testing::Test {
    scripted_server server;
    control_client client;
    void SetUp() override {
        // A socket of the test's own on POSIX; Windows has the one pipe name.
        static std::string variable;
        folder = make_temp_folder("ctlpipe").native;
        variable = "TERVALO_PIPE=" + folder + "/pipe";
        putenv(variable.data());
        crit_init(&server.lock);
        server.listener = pipe_listen();
        ASSERT_NE(server.listener, nullptr);
        ASSERT_TRUE(thread_start(serve, &server));
    }
    std::string folder;
    void TearDown() override {
        stop();
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    void stop() {
        control_disconnect(client);
        if (!server.listener) return;
        pipe_listener_wake(server.listener);
        while (!server.done) sleep_ms(5);
        pipe_listener_close(server.listener);
        server.listener = nullptr;
    }
    void script(std::initializer_list<std::string> r) {
        crit_guard hold(&server.lock);
        server.replies.insert(server.replies.end(), r);
    }
};

}  // namespace

TEST_F(control_client_test, request_with_result_checks_the_reply) {
    char out[16];
    script({words({0}), words({1, 0}), words({0, 8}, 4), words({0, 2}), words({0, 20}, 20), words({0, 4}, 4)});
    EXPECT_EQ(control_request_result(client, CTL_GET_SETTINGS, 0, nullptr, 0, out, sizeof out), 0) << "4 bytes";
    EXPECT_EQ(control_request_result(client, CTL_GET_SETTINGS, 0, nullptr, 0, out, sizeof out), 0) << "status 1";
    EXPECT_EQ(control_request_result(client, CTL_GET_SETTINGS, 0, nullptr, 0, out, sizeof out), 0) << "short data";
    EXPECT_EQ(control_request_result(client, CTL_GET_SETTINGS, 0, nullptr, 4, out, sizeof out), 0) << "below min";
    EXPECT_EQ(control_request_result(client, CTL_GET_SETTINGS, 0, nullptr, 0, out, sizeof out), 0) << "too big";
    EXPECT_EQ(control_request_result(client, CTL_GET_SETTINGS, 0, nullptr, 4, out, sizeof out), 1);
}

TEST_F(control_client_test, helpers_want_their_exact_sizes) {
    uint32_t ref = 0;
    control_find_data found{};
    char line[64];
    script({words({0, 324, 7}, 319), words({0, 324, 7}, 320), words({0, 4, 9}), words({0, 6}) + std::string("ab\n\0", 4),
            words({0, 3}) + std::string("ab\n\0", 4)});
    EXPECT_EQ(control_find_first(client, "quen*.log", &ref, &found), 0) << "331 bytes";
    EXPECT_EQ(control_find_first(client, "quen*.log", &ref, &found), 1);
    EXPECT_EQ(ref, 7u);
    EXPECT_EQ(control_open_file(client, "exports", "r", &ref), 1);
    EXPECT_EQ(ref, 9u);
    EXPECT_EQ(control_read_line(client, ref, line, sizeof line), 0) << "length past the reply";
    EXPECT_EQ(control_read_line(client, ref, line, sizeof line), 0) << "the line's NUL outside its length";
}

TEST_F(control_client_test, reconnects_after_a_failure) {
    script({words({0}), "", words({0})});
    EXPECT_GT(control_request(client, CTL_RELOAD_EXPORTS, 0, nullptr), 0);
    EXPECT_EQ(control_request(client, CTL_RELOAD_EXPORTS, 0, nullptr), -1) << "the server dropped the connection";
    EXPECT_GT(control_request(client, CTL_RELOAD_EXPORTS, 0, nullptr), 0);
    EXPECT_EQ(server.accepted.load(), 2);
}

// What a client offers its user follows what the server will allow it.
TEST_F(control_client_test, a_client_knows_whether_the_server_takes_it_for_an_administrator) {
    script({words({0})});
    ASSERT_GT(control_request(client, CTL_RELOAD_EXPORTS, 0, nullptr), 0);
    EXPECT_EQ(server.peer_admin.load(), pipe_self_is_admin() ? 1 : 0);
}

TEST_F(control_client_test, oversized_requests_are_not_sent) {
    const std::string big(4080, 'x');   // with the other texts past 4096 bytes
    EXPECT_EQ(control_shell_menu(client, "Directory\\shell", "nfsserver", big.c_str(), "cmd"), 0);
    EXPECT_EQ(control_open_file(client, (big + big).c_str(), "r", nullptr), 0);
    EXPECT_EQ(server.received.load(), 0);
    stop();
    control_client none;
    EXPECT_EQ(control_request(none, CTL_GET_SETTINGS, 0, nullptr), -1) << "nobody listens";
}
