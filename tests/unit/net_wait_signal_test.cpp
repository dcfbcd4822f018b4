// Waiting on sockets through signals: Winsock's select is never cut short by
// one, so the POSIX stand-in must not report an interrupted poll as a failure
// or as an early end of the wait.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <pthread.h>
#include <thread>

#include "platform/net.h"

namespace {

void ignore_signal(int) {}

struct signal_storm {
    pthread_t target = pthread_self();
    std::atomic<bool> stop{false};
    std::thread sender;

    signal_storm() {
        struct sigaction sa {};
        sa.sa_handler = ignore_signal;   // no SA_RESTART: poll fails with EINTR
        sigemptyset(&sa.sa_mask);
        sigaction(SIGUSR1, &sa, nullptr);
        sender = std::thread([this] {
            while (!stop.load()) {
                pthread_kill(target, SIGUSR1);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    }
    ~signal_storm() {
        stop.store(true);
        sender.join();
        signal(SIGUSR1, SIG_DFL);
    }
};

net_socket bound_udp() {
    net_socket s = net_udp_socket(false);
    EXPECT_NE(s, NET_INVALID);
    EXPECT_TRUE(net_bind(s, net_make_addr(0x7F000001u, 0)));
    return s;
}

}  // namespace

TEST(NetWaitThroughSignals, ZeroTimeOutReportsNothingReady) {
    ASSERT_TRUE(net_startup());
    net_socket s = bound_udp();
    signal_storm storm;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    for (int i = 0; std::chrono::steady_clock::now() < end; ++i) ASSERT_EQ(net_wait_one(s, 0), 0) << "wait " << i;
    net_close(s);
}

TEST(NetWaitThroughSignals, TimedWaitLastsItsTimeAndSeesALateDatagram) {
    ASSERT_TRUE(net_startup());
    net_socket s = bound_udp();
    net_addr4 to{};
    ASSERT_TRUE(net_local_address(s, &to));
    signal_storm storm;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(net_wait_one(s, 150), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));

    net_socket sender = net_udp_socket(false);
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        net_sendto(sender, "x", 1, to);
    });
    EXPECT_EQ(net_wait_one(s, 5000), 1);
    late.join();
    net_close(sender);
    net_close(s);
}
