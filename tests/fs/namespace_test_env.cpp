#include "tests/fs/namespace_test_env.h"

#include "tests/support/ipv4_text.h"

void namespace_test::SetUp() {
    mount_test::SetUp();
    if (HasFatalFailure()) return;
    for (const char* d : {"plain", "saved", "other"}) make_dir(d);
    load_exports("@\\plain -ci\n@\\saved -ci -sa\n@\\other -ci\n");
    uint32_t* ids[] = {&plain, &saved, &other};
    for (size_t i = 0; i < 3; ++i) {
        *ids[i] = mount_folder(ip("192.0.2.7"), export_at(i)->folder, export_at(i));
        ASSERT_NE(*ids[i], 0u) << i;
    }
}
