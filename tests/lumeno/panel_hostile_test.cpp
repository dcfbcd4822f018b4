// The panel's lists from a server that answers wrongly: entries that name
// themselves as the next one, texts without their end, and replies cut short.
#include "lumeno/core/panel_lists.h"
#include "platform/pipe.h"
#include "platform/thread.h"
#include "tests/config/test_env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

namespace {

// Answers every request through a function of the request.
struct hostile_server {
    std::function<std::string(const uint8_t* request, int size)> answer;
    pipe_listener* listener = nullptr;
    std::atomic<bool> done{false};
    std::atomic<int> requests{0};
};

void serve(void* arg) {
    auto* s = static_cast<hostile_server*>(arg);
    while (pipe_conn* c = pipe_accept(s->listener)) {
        uint8_t buf[kControlMessageMax];
        int n;
        while ((n = pipe_read_message(c, buf, sizeof buf)) >= 0) {
            ++s->requests;
            const std::string r = s->answer(buf, n);
            if (r.empty() || !pipe_write_message(c, r.data(), uint32_t(r.size()))) break;
        }
        pipe_close(c);
    }
    s->done = true;
}

std::string reply(uint32_t length, const std::string& data) {
    std::string r(8, '\0');
    control_put32(reinterpret_cast<uint8_t*>(r.data()) + 4, length);
    return r + data;
}

struct panel_hostile_test : ::testing::Test {
    hostile_server server;
    control_client client;
    std::string folder;
    void start(std::function<std::string(const uint8_t*, int)> answer) {
        static std::string variable;
        folder = make_temp_folder("panelhostile").native;
        variable = "TERVALO_PIPE=" + folder + "/pipe";
        putenv(variable.data());
        server.answer = std::move(answer);
        server.listener = pipe_listen();
        ASSERT_NE(server.listener, nullptr);
        ASSERT_TRUE(thread_start(serve, &server));
    }
    void TearDown() override {
        control_disconnect(client);
        if (server.listener) {
            pipe_listener_wake(server.listener);
            while (!server.done) sleep_ms(5);
            pipe_listener_close(server.listener);
        }
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
};

}  // namespace

TEST_F(panel_hostile_test, a_list_that_runs_in_a_circle_is_listed_once) {
    start([](const uint8_t* m, int) {
        const uint32_t code = control_get32(m);
        if (code == CTL_GET_EXPORT) {
            // 7 leads to 8, and 8 back to 7.
            const uint32_t self = control_get32(m + 4) == 0 || control_get32(m + 8) == 7 ? 7 : 8;
            std::string image(kControlExportImageSize, '\0');
            control_put32(reinterpret_cast<uint8_t*>(image.data()), self);
            control_put32(reinterpret_cast<uint8_t*>(image.data()) + 4, self == 7 ? 8 : 7);
            control_put32(reinterpret_cast<uint8_t*>(image.data()) + 36, 3);
            return reply(kControlExportImageSize, image);
        }
        if (code == CTL_GET_EXPORT_FOLDER) return reply(5, std::string("C:\\x\0", 5));
        return std::string(4, '\0');
    });
    panel_list list;
    EXPECT_EQ(panel_list_refresh(client, PANEL_VIEW_EXPORTS, true, false, &list), 3);
    EXPECT_EQ(list.rows[1].ref, 8u);
    EXPECT_LT(server.requests.load(), 10);
}

TEST_F(panel_hostile_test, texts_without_their_end_stay_within_their_fields) {
    start([](const uint8_t* m, int) {
        const uint32_t code = control_get32(m);
        if (code == CTL_GET_MOUNT && control_get32(m + 4) == 0) {
            // A host name and a path that fill every byte, no NUL anywhere.
            std::string image(kControlDataMax, 'p');
            control_put32(reinterpret_cast<uint8_t*>(image.data()), 9);
            control_put32(reinterpret_cast<uint8_t*>(image.data()) + 4, 0);
            control_put32(reinterpret_cast<uint8_t*>(image.data()) + 552, 6);
            return reply(kControlDataMax, image);
        }
        if (code == CTL_GET_EXPORT && control_get32(m + 4) == 0) {
            // Clients announced, then a clients reply cut to less than its length word.
            std::string image(kControlExportImageSize, '\0');
            control_put32(reinterpret_cast<uint8_t*>(image.data()), 5);
            control_put32(reinterpret_cast<uint8_t*>(image.data()) + 36, 3);
            control_put32(reinterpret_cast<uint8_t*>(image.data()) + 64, 3);
            return reply(kControlExportImageSize, image);
        }
        if (code == CTL_GET_EXPORT_FOLDER) return reply(kControlDataMax, std::string(kControlDataMax, 'f'));
        if (code == CTL_GET_EXPORT_CLIENTS) return reply(12, std::string("\x0a\x00\x00\x01", 4));
        return std::string(4, '\0');
    });
    panel_list list;
    ASSERT_EQ(panel_list_refresh(client, PANEL_VIEW_MOUNTS, true, false, &list), 1);
    EXPECT_EQ(list.rows[0].text[0], std::string(2047, 'p')) << "the path within its 2048 characters";
    EXPECT_EQ(list.rows[0].text[1], "tcp");
    EXPECT_EQ(list.rows[0].text[2].size(), 512u) << "the host name within its 512 bytes";
    ASSERT_EQ(panel_list_refresh(client, PANEL_VIEW_EXPORTS, true, false, &list), 2);
    EXPECT_EQ(list.rows[0].text[0], std::string(kControlDataMax, 'f'));
    EXPECT_EQ(list.rows[0].text[2], "") << "a clients reply shorter than its length word is no list";
}
