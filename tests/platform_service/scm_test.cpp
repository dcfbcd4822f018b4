// The Windows service control manager (under Wine in the test runs).
#ifdef _WIN32
#include "platform/service.h"
#include "platform/win_error.h"

#include <gtest/gtest.h>

#include <process.h>

#include <string>

namespace {

TEST(ServiceControlManager, OpensWithFullAccess) {
    uint32_t error = 99;
    svc_manager* m = svc_open_manager(&error);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(error, WIN_ERROR_SUCCESS);
    svc_close_manager(m);
}

TEST(ServiceControlManager, MissingServiceIs1060) {
    uint32_t error = 0;
    svc_manager* m = svc_open_manager(&error);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(svc_open(m, "TervaloNoSuchService", &error), nullptr);
    EXPECT_EQ(error, WIN_ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(sys_last_error(), WIN_ERROR_SERVICE_DOES_NOT_EXIST);
    svc_close_manager(m);
}

// Install, look at, and remove a service that is never started.
TEST(ServiceControlManager, CreateTwiceThenDelete) {
    uint32_t error = 0;
    svc_manager* m = svc_open_manager(&error);
    ASSERT_NE(m, nullptr);
    char exe[1024];
    ASSERT_GT(executable_path(exe, sizeof exe), 0u);
    const std::string name = "TervaloTest" + std::to_string(_getpid());
    const char deps[] = "tcpip\0";
    const svc_config c{name.c_str(), "Tervalo test service", exe, nullptr, deps};
    svc_service* s = svc_create(m, c, &error);
    ASSERT_NE(s, nullptr) << error;
    EXPECT_EQ(error, WIN_ERROR_SUCCESS);

    EXPECT_EQ(svc_create(m, c, &error), nullptr);
    EXPECT_EQ(error, WIN_ERROR_SERVICE_EXISTS);
    EXPECT_TRUE(svc_set_description(s, "A service of the platform tests"));
    uint32_t state = 0;
    EXPECT_TRUE(svc_query_state(s, &state));
    EXPECT_EQ(state, SVC_STOPPED);
    state = 0;
    EXPECT_FALSE(svc_stop(s, &state));
    EXPECT_EQ(sys_last_error(), WIN_ERROR_SERVICE_NOT_ACTIVE);
    EXPECT_EQ(state, SVC_STOPPED);

    svc_service* again = svc_open(m, name.c_str(), &error);
    EXPECT_NE(again, nullptr);
    svc_close(again);
    EXPECT_EQ(svc_delete(s), WIN_ERROR_SUCCESS);
    svc_close(s);
    EXPECT_EQ(svc_open(m, name.c_str(), &error), nullptr);
    EXPECT_EQ(error, WIN_ERROR_SERVICE_DOES_NOT_EXIST);
    svc_close_manager(m);
}

}  // namespace
#endif
