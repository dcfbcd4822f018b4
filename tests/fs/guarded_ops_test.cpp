// A processor fault inside a file operation or a lock procedure while the
// file's section is held: the request ends with its status and log line,
// and the next request on the file does not wait for the section forever.
#include "tests/support/fs_calls.h"
#include "platform/thread.h"
#include "quen/fs/nfs_status.h"
#include "quen/fs/open_cache.h"
#include "quen/fs/remove.h"
#include "quen/inode/inode_tree.h"
#include "quen/nlm/lock_table.h"
#include "quen/nlm/nlm_procs.h"
#include "quen/nlm/nlm_wire.h"
#include "rpc/log.h"
#include "tests/mount/mount_test_env.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int* volatile g_null = nullptr;
__attribute__((no_sanitize("undefined"))) void fault() { *g_null = 1; }   // UBSan would end the test first

struct probe {
    uint64_t identity;
    plat_event* done;
};

struct guarded_ops_test : mount_test {
    uint32_t mount = 0;
    uint32_t inode = 0;
    std::FILE* captured = nullptr;
    std::FILE* saved_stream = nullptr;
    int saved_level = 0;

    void SetUp() override {
        mount_test::SetUp();
        if (HasFatalFailure()) return;
        cache_init(true);
        make_dir("share");
        make_file("share\\a.txt", "data");
        load_exports("@\\share -ci\n");
        mount = mount_folder(ip("192.0.2.7"), export_at(0)->folder, export_at(0));
        inode = inode_of_path(at("share\\a.txt").c_str());
        ASSERT_TRUE(mount && inode);
        captured = std::tmpfile();
        ASSERT_NE(captured, nullptr);
        saved_level = g_log_level;
        saved_stream = log_stream();
        g_log_level = 2;
        log_set_stream(captured);
    }
    void TearDown() override {
        if (captured) log_set_stream(saved_stream);   // closes the captured stream
        g_log_level = saved_level;
        cache_set_lock_release(nullptr);
        lock_table_init(nullptr);
        cache_close_all();
        mount_test::TearDown();
    }
    std::string logged() {
        log_flush();
        std::rewind(captured);
        char text[1024] = {};
        return std::string(text, std::fread(text, 1, sizeof text - 1, captured));
    }
    // Another thread takes the file's section (and with it the lock table's
    // lock) and lets it go again.
    bool section_free() {
        static probe p;
        p = {inode, event_create(true, false)};
        const bool started = thread_start(
            [](void* arg) {
                auto* p = static_cast<probe*>(arg);
                {
                    bucket_guard g(p->identity);
                    lock_table_init(nullptr);
                }
                event_set(p->done);
            },
            &p);
        const bool done = started && event_wait(p.done, 10000);
        if (done) event_close(p.done);   // else still in use by the blocked thread
        return done;
    }
};

TEST_F(guarded_ops_test, a_fault_in_a_remove_releases_the_section_and_answers_70) {
    // The remove closes the file's cached slot under its section; the
    // slot's locks are released through a hook that faults.
    {
        bucket_guard g(inode);
        cache_slot* slot = cache_insert(file_key{inode, 0, false}, WP_INVALID_HANDLE, CACHE_READ_WRITE);
        ASSERT_NE(slot, nullptr);
        slot->lock_count = 1;
    }
    cache_set_lock_release([](cache_slot*) { fault(); });
    dir_attributes_pair pair{};
    const internal_handle share = handle_make(inode_of_path(at("share").c_str()), 0, mount);
    EXPECT_EQ(fs_remove(share, "a.txt", 5, user(1000, 1000), false, pair), uint32_t(NFSERR_STALE));
    EXPECT_TRUE(section_free());
    EXPECT_NE(logged().find("unlink exception\n"), std::string::npos) << logged();
}

TEST_F(guarded_ops_test, a_fault_in_a_lock_releases_the_section_and_refuses_the_lock) {
    static const lock_hooks faulting = {[](const void*, uint64_t, uint64_t) -> uint32_t { return fault(), 0; },
                                        [](const void*, uint32_t, uint64_t, uint64_t) -> uint32_t { return 0; },
                                        [](const void*, int) {}, [](const lock_slot&) {}, nullptr, nullptr};
    lock_table_init(&faulting);
    rpc_handle h{};
    h.peer.addr = ip("192.0.2.7");
    rpc_call call{};
    call.version = 4;
    call.uid = call.gid = 1000;
    static nlm_lock_args a{};
    a.exclusive = 1;
    a.lock.fh.length = kHandleSize;
    handle_to_bytes(handle_make(inode, 0, mount), a.lock.fh.data);
    a.lock.caller.length = 4;
    std::memcpy(a.lock.caller.data, "host", 4);
    a.lock.svid = 7;
    a.lock.length = 10;
    nlm_res res{};
    ASSERT_TRUE(nlm_lock_proc(&h, &call, &a, &res));
    // Not 0: the client would believe it holds a lock that was never taken.
    EXPECT_EQ(res.status, uint32_t(NLM_DENIED_NOLOCKS));
    EXPECT_TRUE(section_free());
    EXPECT_NE(logged().find("nlmd lock exception in\n"), std::string::npos) << logged();
}

}  // namespace
