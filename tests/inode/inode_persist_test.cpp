// Persistence: numbers survive a close and reopen; and a table left by a
// process killed at any moment loads, passes the check, and keeps every
// record whose operation had finished.
#include "tests/inode/inode_test_env.h"

#include <chrono>
#include <map>
#include <random>
#include <string>

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

TEST_F(inode_test, OneHundredThousandPathsSurviveAReopen) {
    ASSERT_TRUE(open_table(4096));   // grows many times on the way
    std::vector<std::pair<uint32_t, std::string>> made;
    made.reserve(100000);
    const uint32_t top = inode_of_path("C:\\");
    for (int a = 0; a < 50; ++a) {
        const std::string an = "dir" + std::to_string(a);
        const uint32_t da = enter(top, an);
        for (int b = 0; b < 50; ++b) {
            const std::string bn = (b % 2 ? "Sub-directory-number-" : "s") + std::to_string(b);
            const uint32_t db = enter(da, bn);
            for (int c = 0; c < 40; ++c) {
                const std::string cn = "file" + std::to_string(c) + (c % 3 ? ".txt" : "");
                const uint32_t f = enter(db, cn);
                ASSERT_NE(f, 0u);
                made.push_back({f, "C:\\" + an + "\\" + bn + "\\" + cn});
            }
        }
    }
    ASSERT_EQ(made.size(), 100000u);
    const uint32_t total = g_inode_table.total;
    close_table();
    ASSERT_TRUE(open_table(4096));
    EXPECT_EQ(g_inode_table.total, total);
    EXPECT_FALSE(g_inode_table.load.rebuilt);
    size_t wrong = 0;
    for (auto& [n, p] : made)
        if (path_of(n) != p) ++wrong;
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(inode_of_path(made[12345].second.c_str()), made[12345].first);
}

#ifndef _WIN32

// One operation of the churn, as the child reports it: before it starts
// (done = 0) and when it has finished (done = 1, with its result).
struct churn_note {
    uint32_t step;
    uint32_t done;
    uint32_t op;
    uint32_t a, b;       // path indices
    uint32_t result_a;   // reported numbers afterwards
    uint32_t result_b;
};

constexpr uint32_t kPaths = 96;   // C:\t\d<k>\f<j>: 6 directories of 16 files

std::string churn_path(uint32_t i) { return "C:\\t\\d" + std::to_string(i / 16) + "\\f" + std::to_string(i % 16); }

// The number a name reports: the base of its ring, or its own. 0 when absent.
uint32_t resolve(const std::string& path) {
    uint32_t d = lookup(0, "C:");
    size_t from = 3;
    while (d != 0 && from <= path.size()) {
        size_t to = path.find('\\', from);
        if (to == std::string::npos) to = path.size();
        d = lookup(d, path.substr(from, to - from));
        from = to + 1;
    }
    return d ? inode_base_of(d) : 0;
}

void churn(const std::string& table, uint32_t seed, int fd) {
    inode_table_options o;
    o.path = table.c_str();
    o.initial_records = 64;
    if (!inode_table_open_with(o)) _exit(3);
    std::mt19937 rng(seed);
    for (uint32_t step = 0;; ++step) {
        churn_note n{step, 0, uint32_t(rng() % 5), uint32_t(rng() % kPaths), uint32_t(rng() % kPaths), 0, 0};
        if (write(fd, &n, sizeof n) != sizeof n) _exit(4);
        const std::string pa = churn_path(n.a), pb = churn_path(n.b);
        switch (n.op) {
        case 0:   // enter
            inode_of_path(pa.c_str());
            break;
        case 1:   // delete one name, folding its base back when one is left
            if (uint32_t r = inode_of_path(pa.c_str())) {
                const uint32_t base = inode_base_of(r);
                inode_delete(r);
                if (base != r) inode_unlink_base(base);
            }
            break;
        case 2: {   // rename a file, maybe to another directory
            const uint32_t r = inode_of_path(pa.c_str());
            const uint32_t to = inode_of_path(pb.substr(0, pb.rfind('\\')).c_str());
            const std::string name = pb.substr(pb.rfind('\\') + 1);
            if (r && to && n.a != n.b) inode_rename(r, inode_parent(r), to, "", 0, name.c_str(), name.size());
            break;
        }
        case 3: {   // a second link between two names
            const uint32_t ra = inode_of_path(pa.c_str());
            const uint32_t rb = inode_of_path(pb.c_str());
            if (ra && rb && n.a != n.b) {
                inode_link_base(ra, step, seed, 77);
                inode_link_base(rb, step, seed, 77);
            }
            break;
        }
        case 4:   // a whole directory
            if (rng() % 8 == 0) inode_delete(inode_of_path(pa.substr(0, pa.rfind('\\')).c_str()));
            else inode_of_path(pa.c_str());
            break;
        }
        n.done = 1;
        n.result_a = resolve(pa);
        n.result_b = resolve(pb);
        if (write(fd, &n, sizeof n) != sizeof n) _exit(4);
    }
}

// The parent's knowledge: the number of every path whose last operation
// finished; paths an unfinished operation may have touched are forgotten.
void apply(std::map<std::string, uint32_t>& known, const churn_note& n, bool finished) {
    const std::string pa = churn_path(n.a), pb = churn_path(n.b);
    const std::string dir_a = pa.substr(0, pa.rfind('\\') + 1);
    auto forget_number = [&](uint32_t number) {
        for (auto it = known.begin(); it != known.end();) it = it->second == number ? known.erase(it) : std::next(it);
    };
    auto forget_dir = [&](const std::string& d) {
        for (auto it = known.begin(); it != known.end();) it = it->first.rfind(d, 0) == 0 ? known.erase(it) : std::next(it);
    };
    // What the operation may have changed besides its own paths: names that
    // shared a ring with them, and with op 4 a whole directory.
    if (known.count(pa)) forget_number(known[pa]);
    if (known.count(pb)) forget_number(known[pb]);
    if (n.op == 4) forget_dir(dir_a);
    known.erase(pa);
    known.erase(pb);
    if (!finished) return;
    if (n.result_a) known[pa] = n.result_a;
    if (n.result_b) known[pb] = n.result_b;
}

TEST_F(inode_test, ATableKilledAtAnyMomentReloadsAndKeepsFinishedWork) {
    std::mt19937 rng(12345);
    std::map<std::string, uint32_t> known;
    size_t checked = 0;
    for (int round = 0; round < 50; ++round) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(fds[0]);
            churn(table_path, uint32_t(round + 1), fds[1]);
            _exit(0);
        }
        close(fds[1]);
        usleep(2000 + rng() % 15000);
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself: " << status;
        churn_note n{}, pending{};
        bool open_note = false;
        while (read(fds[0], &n, sizeof n) == sizeof n) {
            apply(known, n, n.done == 1);
            open_note = n.done == 0;
            pending = n;
        }
        close(fds[0]);
        if (open_note) apply(known, pending, false);
        // The table loads and its free list is exact after the load.
        ASSERT_TRUE(open_table(64)) << "round " << round;
        for (auto& [p, number] : known) {
            EXPECT_EQ(resolve(p), number) << p << " round " << round;
            ++checked;
        }
        const uint32_t used = g_inode_table.total - free_bytes();
        close_table();
        ASSERT_TRUE(open_table(64));
        EXPECT_FALSE(g_inode_table.load.rebuilt) << "round " << round;
        EXPECT_EQ(g_inode_table.load.used, used);
        close_table();
    }
    EXPECT_GT(checked, 200u);
}

#endif

}  // namespace
