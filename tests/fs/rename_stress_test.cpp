// Renames in opposite directions between two directories, creates and
// removes in one of them and listings of both, all at once: nothing
// deadlocks, no file is lost, and the inode table agrees with the disk.
// A listing opens each file for a moment (for its link count), which a
// rename that replaces the file meets as "access denied".
#include "tests/support/fs_calls.h"
#include "quen/config/settings.h"
#include "quen/fs/dir_scan.h"
#include "quen/fs/nfs_status.h"
#include "quen/fs/open_cache.h"
#include "tests/fs/namespace_test_env.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <thread>
#include <vector>

namespace {

constexpr int kRounds = 300;
constexpr int kPool = 120;   // files per directory from which the crossing pairs are picked

struct rename_stress_test : namespace_test {
    int32_t saved_bits = 0;
    void SetUp() override {
        namespace_test::SetUp();
        if (HasFatalFailure()) return;
        saved_bits = g_settings.dir_bits;
        g_settings.dir_bits = 6;
        dir_scan_init();
        make_dir("plain\\A");
        make_dir("plain\\B");
    }
    void TearDown() override {
        dir_scan_close_all();
        g_settings.dir_bits = saved_bits;
        namespace_test::TearDown();
    }
    int bucket_of_name(const std::string& relative) { return bucket_of(inode_of_path(at(relative).c_str())); }
    void list(const std::string& relative) {
        open_dir d;
        if (open_directory(dir_handle(relative), me, false, d) != NFS_OK) return;
        dir_entry e;
        uint32_t cookie = 0;
        for (int i = 0; i < 1000 && dir_scan_next(ip("192.0.2.7"), d.ctx, d.mount_id, d.path, d.identity, d.parent,
                                                  cookie, &e) == 1;
             ++i)
            cookie = e.cookie;
    }
};

// One direction: the file `mover` replaces `victim` in the other directory,
// moves back, and the victim is made again.
void shuttle(namespace_test& t, const std::string& from, const std::string& mover, const std::string& to,
             const std::string& victim, std::atomic<int>& failures) {
    for (int i = 0; i < kRounds; ++i) {
        if (t.rename(from, mover, to, victim, t.me) != NFS_OK) ++failures;
        if (t.rename(to, victim, from, mover, t.me) != NFS_OK) ++failures;
        if (t.create(to, victim, with_mode(0644), t.me) != NFS_OK) ++failures;
    }
}

TEST_F(rename_stress_test, opposite_renames_creates_removes_and_listings) {
    // Two files of A in one bucket (x1, x2), two of B in another (y1, y2):
    // x1 replaces y1 while y2 replaces x2, so a rename that took its
    // source's section first would hold what the opposite one waits for.
    std::map<int, std::vector<std::string>> a_by_bucket, b_by_bucket;
    for (int i = 0; i < kPool; ++i) {
        const std::string n = "p" + std::to_string(i);
        ASSERT_EQ(create("plain\\A", n, with_mode(0644), me), uint32_t(NFS_OK));
        ASSERT_EQ(create("plain\\B", n, with_mode(0644), me), uint32_t(NFS_OK));
        a_by_bucket[bucket_of_name("plain\\A\\" + n)].push_back(n);
        b_by_bucket[bucket_of_name("plain\\B\\" + n)].push_back(n);
    }
    std::string x1, x2, y1, y2;
    for (const auto& [xa, as] : a_by_bucket)
        for (const auto& [yb, bs] : b_by_bucket)
            if (x1.empty() && xa != yb && as.size() >= 2 && bs.size() >= 2)
                x1 = as[0], x2 = as[1], y1 = bs[0], y2 = bs[1];
    ASSERT_FALSE(x1.empty()) << "no crossing pairs in the pool";

    std::atomic<int> failures{0};
    std::atomic<bool> done{false};
    auto forward = std::async(std::launch::async, [&] { shuttle(*this, "plain\\A", x1, "plain\\B", y1, failures); });
    auto backward = std::async(std::launch::async, [&] { shuttle(*this, "plain\\B", y2, "plain\\A", x2, failures); });
    auto churn = std::async(std::launch::async, [&] {
        for (int i = 0; i < kRounds; ++i) {
            const std::string n = "c" + std::to_string(i % 7);
            if (create("plain\\A", n, with_mode(0644), me) != NFS_OK) ++failures;
            if (remove("plain\\A", n, me) != NFS_OK) ++failures;
        }
    });
    auto lister = std::async(std::launch::async, [&] {
        while (!done) {
            list("plain\\A");
            list("plain\\B");
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (auto* f : {&forward, &backward, &churn}) {
        if (f->wait_until(deadline) != std::future_status::ready) {
            std::fprintf(stderr, "rename stress: no progress in 60 s, taken for a deadlock\n");
            std::_Exit(1);
        }
    }
    done = true;
    lister.wait();
    EXPECT_EQ(failures.load(), 0);

    // Walk the disk: every name of both directories is where it was, with
    // a record whose path is that name; walk the records: none is left for
    // a name the disk no longer has.
    for (const char* d : {"plain\\A", "plain\\B"}) {
        for (int i = 0; i < kPool; ++i) {
            const std::string n = "p" + std::to_string(i), path = std::string(d) + "\\" + n;
            ASSERT_TRUE(exists(path)) << path << " lost";
            const uint32_t record = record_of(d, n);
            ASSERT_NE(record, 0u) << path;
            char back[kInodePathSize];
            ASSERT_NE(inode_path(record, back), 0u) << path;
            EXPECT_EQ(std::string(back), at(path));
            EXPECT_EQ(inode_set_busy(record, -1), 0) << path << " still busy";
        }
        for (int i = 0; i < 7; ++i) {
            const std::string n = "c" + std::to_string(i);
            EXPECT_FALSE(exists(std::string(d) + "\\" + n)) << n;
            EXPECT_EQ(record_of(d, n), 0u) << n;
        }
    }
}

}  // namespace
