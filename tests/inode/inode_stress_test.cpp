// Many threads on one inode table at once, as the RPC threads use it:
// random operations over a small shared namespace while the table grows
// (and its view moves) under them; then a walk of the whole structure and
// a reload that must find nothing to repair.
//
// Workers never assert: they note what went wrong, with the thread's seed
// and step, and the test reports the notes. INODE_STRESS_SEED changes the
// base seed (thread t uses base + t).
#include "tests/inode/inode_test_env.h"

#include "quen/inode/inode_tree_internal.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kDefaultSeed = 20240611;
constexpr uint32_t kLinkIndexHigh = 0x5EED;
constexpr uint32_t kLinkVolume = 77;

uint32_t base_seed() {
    const char* s = std::getenv("INODE_STRESS_SEED");
    return s && *s ? uint32_t(std::strtoul(s, nullptr, 0)) : kDefaultSeed;
}

// ---- text helpers ---------------------------------------------------------------

char fold(char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; }

// The order of sibling lists: ASCII letters fold, other bytes by value.
int compare_ci(const std::string& a, const std::string& b) {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const uint8_t x = uint8_t(fold(a[i])), y = uint8_t(fold(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}
bool equal_ci(const std::string& a, const std::string& b) { return compare_ci(a, b) == 0; }
bool starts_with_ci(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() && equal_ci(s.substr(0, prefix.size()), prefix);
}
std::string num(uint64_t n) { return std::to_string(n); }

// ---- notes from worker threads ----------------------------------------------

struct fault_notes {
    std::mutex lock;
    std::vector<std::string> lines;
    size_t more = 0;
    void add(const std::string& line) {
        std::lock_guard<std::mutex> g(lock);
        if (lines.size() < 25) lines.push_back(line);
        else ++more;
    }
    std::string text() {
        std::lock_guard<std::mutex> g(lock);
        std::string t;
        for (auto& l : lines) t += l + "\n";
        if (more) t += "... and " + num(more) + " more\n";
        return t;
    }
};

// Operations that may rename, free or renumber records announce themselves
// here. A check that a record still has the name it was entered with holds
// only when no such operation started or was running in between: then the
// count started at the end equals the count finished at the start.
struct change_counter {
    std::atomic<uint64_t> started{0};
    std::atomic<uint64_t> finished{0};
};
struct changing {
    change_counter& c;
    explicit changing(change_counter& counter) : c(counter) { c.started.fetch_add(1); }
    changing(const changing&) = delete;
    changing& operator=(const changing&) = delete;
    ~changing() { c.finished.fetch_add(1); }
};

// ---- reading the structure (under the table lock) ---------------------------

uint32_t block_count() { return g_inode_table.total / kBlockSize; }

std::string stored_name(const inode_record* r) {
    char buf[kNameMax + 1];
    const uint32_t n = read_name(r, buf);
    return std::string(buf, n);
}

bool list_holds(uint32_t head, uint32_t n) {
    for (uint32_t c = head, i = 0; c != 0 && i <= block_count(); ++i) {
        if (c == n) return true;
        const inode_record* r = record_at(c);
        if (!r) return false;
        c = r->next;
    }
    return false;
}

// Empty when the live record at n is on the list its links name: a base on
// the link base list, any other record on its parent's child list.
std::string misplaced(uint32_t n) {
    const inode_record* r = record_at(n);
    if (!r) return "";
    if (r->flags & INODE_LINK_BASE)
        return list_holds(link_base_list_head(), n) ? "" : "a link base that is not on the link base list";
    uint32_t head = root_list_head();
    if (r->parent != 0) {
        const inode_record* p = record_at(r->parent);
        if (!p) return "its parent " + num(r->parent) + " is no record";
        if (p->flags & (INODE_LINK_BASE | INODE_RING_MEMBER)) return "its parent " + num(r->parent) + " is a file";
        head = p->child;
    }
    return list_holds(head, n) ? "" : "not on the list of its parent " + num(r->parent);
}

struct table_walk {
    std::vector<std::string> faults;
    std::vector<uint32_t> records;   // tree records, in walk order
    std::vector<uint32_t> bases;     // link base records
    uint32_t used = kBlockSize;      // bytes in use: header, records, name blocks
};

// Walks everything reachable from the root list and the link base list,
// independently of the load check, and compares it with the free list.
table_walk walk_whole_table() {
    table_walk w;
    inode_table_guard g;
    const uint32_t blocks = block_count();
    std::vector<uint8_t> seen(blocks, 0), on_ring(blocks, 0);
    seen[0] = 1;
    auto fault = [&](const std::string& s) {
        if (w.faults.size() < 30) w.faults.push_back(s);
    };
    std::vector<uint32_t> ring_members;
    std::vector<std::pair<uint32_t, uint32_t>> lists{{root_list_head(), 0}};   // head, directory
    while (!lists.empty()) {
        auto [c, dir] = lists.back();
        lists.pop_back();
        std::string previous;
        for (uint32_t i = 0; c != 0; ++i) {
            const inode_record* r = record_at(c);
            if (!r || i > blocks) {
                fault("the list of " + num(dir) + " links to " + num(c) + ", which is no record");
                break;
            }
            if (seen[c / kBlockSize]) {
                fault("record " + num(c) + " is reached twice");
                break;
            }
            seen[c / kBlockSize] = 1;
            w.used += kBlockSize;
            if (r->flags & INODE_LINK_BASE) fault("link base " + num(c) + " is on the list of " + num(dir));
            if (r->parent != dir)
                fault("record " + num(c) + " on the list of " + num(dir) + " names parent " + num(r->parent));
            const std::string name = stored_name(r);
            if (name.size() != r->name_length) fault("record " + num(c) + " has a broken name chain");
            if (i > 0 && compare_ci(previous, name) >= 0)
                fault("list of " + num(dir) + ": '" + name + "' follows '" + previous + "'");
            previous = name;
            if (r->name_length > kNameInline) {
                uint32_t b = 0;
                std::memcpy(&b, r->name, 4);
                for (uint32_t k = 0; k < name_blocks_for(r->name_length); ++k) {
                    const name_block* nb = block_at(b);
                    if (!nb || seen[b / kBlockSize]) {
                        fault("name block " + num(b) + " of " + num(c) + " is invalid or shared");
                        break;
                    }
                    seen[b / kBlockSize] = 1;
                    w.used += kBlockSize;
                    b = nb->next;
                }
                if (b != 0) fault("the name chain of " + num(c) + " does not end");
            }
            w.records.push_back(c);
            if (r->flags & INODE_RING_MEMBER) ring_members.push_back(c);
            else if (r->child != 0) lists.push_back({r->child, c});
            c = r->next;
        }
    }
    uint32_t b = link_base_list_head();
    for (uint32_t i = 0; b != 0; ++i) {
        const inode_record* r = record_at(b);
        if (!r || i > blocks || seen[b / kBlockSize]) {
            fault("the link base list reaches " + num(b) + ", which is no base or is reached twice");
            break;
        }
        if (!(r->flags & INODE_LINK_BASE) || r->name_length != 0 || r->parent != 0)
            fault("link base " + num(b) + " has flags " + num(r->flags) + ", name length " + num(r->name_length) +
                  ", parent " + num(r->parent));
        seen[b / kBlockSize] = 1;
        w.used += kBlockSize;
        w.bases.push_back(b);
        uint32_t members = 0;
        uint32_t m = r->child;
        for (uint32_t k = 0; m != b; ++k) {
            const inode_record* x = record_at(m);
            if (!x || k > blocks || !(x->flags & INODE_RING_MEMBER) || (x->flags & INODE_LINK_BASE) ||
                !seen[m / kBlockSize] || on_ring[m / kBlockSize]) {
                fault("the ring of base " + num(b) + " reaches " + num(m) +
                      ", which is no tree record or is on two rings");
                break;
            }
            on_ring[m / kBlockSize] = 1;
            ++members;
            m = x->child;
        }
        if (members == 0) fault("link base " + num(b) + " has no names");
        b = r->next;
    }
    for (uint32_t m : ring_members)
        if (!on_ring[m / kBlockSize]) fault("ring member " + num(m) + " is on no base's ring");
    for (uint32_t o = kBlockSize; o < g_inode_table.total; o += kBlockSize)
        if (record_at(o) && !seen[o / kBlockSize])
            fault("live record " + num(o) + " (parent " + num(record_at(o)->parent) + ") is reachable from nowhere");
    uint64_t free_sum = 0;
    for (auto [at, size] : free_runs()) {
        if (size == 0xFFFFFFFF || at % kBlockSize || uint64_t(at) + size > g_inode_table.total) {
            fault("free run " + num(at) + " is out of the table");
            break;
        }
        for (uint32_t o = at; o < at + size; o += kBlockSize)
            if (seen[o / kBlockSize]) fault("free run " + num(at) + " holds block " + num(o) + ", which is in use");
        free_sum += size;
    }
    if (free_sum + w.used != g_inode_table.total)
        fault("used " + num(w.used) + " + free " + num(free_sum) + " != total " + num(g_inode_table.total));
    return w;
}

// Every record's path maps back to it, every base's path to a name on its
// ring; nothing may be created on the way. Result: inode -> path.
std::map<uint32_t, std::string> check_paths(const table_walk& w, std::vector<std::string>& faults) {
    std::map<uint32_t, std::string> paths;
    const uint32_t free_before = free_bytes();
    for (uint32_t n : w.records) {
        const std::string p = path_of(n);
        const uint32_t back = p.empty() ? 0 : inode_of_path(p.c_str());
        if (back != n) faults.push_back("record " + num(n) + " has path '" + p + "', which maps to " + num(back));
        paths[n] = p;
    }
    for (uint32_t b : w.bases) {
        const std::string p = path_of(b);
        const uint32_t name = p.empty() ? 0 : inode_of_path(p.c_str());
        if (name == 0 || inode_base_of(name) != b)
            faults.push_back("base " + num(b) + " has path '" + p + "', whose record " + num(name) +
                             " is not on its ring");
        paths[b] = p;
    }
    if (free_bytes() != free_before) faults.push_back("resolving the paths of existing records allocated blocks");
    return paths;
}

std::string join(const std::vector<std::string>& lines) {
    std::string t;
    for (auto& l : lines) t += l + "\n";
    return t;
}

struct inode_stress : inode_test {
    static constexpr uint32_t kRecords = 64;   // small, so the table grows under the threads

    // Checks the structure, then closes and reopens the table: the load must
    // find nothing to repair. The file may differ only in the seen flags of
    // records, which every load clears. Leaves the table open.
    void expect_clean_reload() {
        const table_walk w = walk_whole_table();
        EXPECT_TRUE(w.faults.empty()) << join(w.faults);
        std::vector<std::string> faults;
        const auto paths = check_paths(w, faults);
        EXPECT_TRUE(faults.empty()) << join(faults);
        const uint32_t total = g_inode_table.total;
        close_table();
        const std::vector<uint8_t> before = read_file();
        ASSERT_TRUE(open_table(kRecords));
        EXPECT_FALSE(g_inode_table.load.rebuilt) << "the running table left a free list the load had to rebuild";
        EXPECT_FALSE(g_inode_table.load.started_empty);
        EXPECT_EQ(g_inode_table.load.used, w.used);
        EXPECT_EQ(g_inode_table.total, total);
        const table_walk again = walk_whole_table();
        EXPECT_TRUE(again.faults.empty()) << join(again.faults);
        EXPECT_EQ(again.records, w.records);
        EXPECT_EQ(again.bases, w.bases);
        size_t moved = 0;
        std::string first_moved;
        for (auto& [n, p] : paths) {
            const uint32_t got = inode_of_path(p.c_str());
            const bool same = std::find(w.bases.begin(), w.bases.end(), n) != w.bases.end() ? inode_base_of(got) == n
                                                                                               : got == n;
            if (!same && moved++ == 0) first_moved = p + " was " + num(n) + ", now " + num(got);
        }
        EXPECT_EQ(moved, 0u) << first_moved;
        close_table();
        const std::vector<uint8_t> after = read_file();
        ASSERT_EQ(after.size(), before.size());
        const std::set<uint32_t> records(w.records.begin(), w.records.end());
        size_t differing = 0;
        std::string first_difference;
        for (size_t i = 0; i < after.size(); ++i) {
            if (after[i] == before[i]) continue;
            const uint32_t block = uint32_t(i / kBlockSize * kBlockSize);
            const bool seen_flag = i % kBlockSize == offsetof(inode_record, flags) && records.count(block) &&
                                   (after[i] ^ before[i]) == INODE_SEEN;
            if (!seen_flag && differing++ == 0)
                first_difference = "byte " + num(i) + ": " + num(before[i]) + " -> " + num(after[i]);
        }
        EXPECT_EQ(differing, 0u) << "the load repaired the file; first change at " << first_difference;
        ASSERT_TRUE(open_table(kRecords));
    }
};

// ---- the shared namespace -----------------------------------------------------------

constexpr int kThreads = 6;
constexpr uint32_t kStepsPerThread = 4000;
constexpr int kDirs = 4;

// A few dozen names, short and long (1 and 2 continuation blocks), unique
// without regard to case; workers enter them in random case.
const std::vector<std::string>& pool() {
    static const std::vector<std::string> names = {
        "a", "B", "readme", "Makefile", "file.txt", "FILE.TXT.bak", "x1", "X2", "zeta", "Omega", "notes.md",
        "data-0001", "data-0002", "data-0010", "~tmp", "_hidden", "0", "9lives", "mixed Case Name",
        "sixteen-bytes-ab", "seventeen-bytes-a", "report for the final quarter.doc",
        "a name of forty-one bytes, two blocks!!", "a-name-long-enough-to-need-two-continuation-blocks",
        "Program Files", "desktop.ini", "Thumbs.db", "core", "CORE.1", "[brackets]", "semi;colon", "plus+sign",
    };
    return names;
}

struct stress_space {
    std::string top_path;
    uint32_t top = 0;
    uint32_t dirs[kDirs] = {};
    std::string dir_paths[kDirs];
    uint32_t grow_dirs[kThreads] = {};   // one per thread, only added to
};

struct shared_run {
    stress_space space;
    change_counter changes;
    fault_notes notes;
    std::atomic<uint64_t> clean_checks{0}, locked_checks{0}, renames{0}, deletes{0}, links{0}, purges{0},
        live_reads{0};
    std::mutex sizes_lock;
    std::set<uint32_t> sizes;   // table sizes readers saw: each growth made a new view
};

struct worker {
    shared_run& run;
    int index;
    uint32_t seed;
    std::mt19937 rng;
    uint32_t step = 0;
    uint32_t grown = 0;
    std::vector<uint32_t> held;   // numbers this thread was given lately
    std::set<uint32_t> sizes;

    worker(shared_run& r, int i, uint32_t s) : run(r), index(i), seed(s), rng(s) {}

    uint32_t pick(size_t n) { return uint32_t(rng() % n); }
    void fault(const std::string& what) {
        run.notes.add("thread " + num(index) + " seed " + num(seed) + " step " + num(step) + ": " + what);
    }
    void hold(uint32_t n) {
        if (held.size() < 64) held.push_back(n);
        else held[pick(held.size())] = n;
    }
    std::string variant(const std::string& name) {
        std::string v = name;
        for (char& c : v)
            if (((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) && pick(4) == 0) c = char(c ^ 0x20);
        return v;
    }
    int dir() { return int(pick(kDirs)); }
    uint32_t name_index() { return pick(pool().size()); }

    void enter_and_check() {
        const int d = dir();
        const std::string name = variant(pool()[name_index()]);
        const uint64_t mark = run.changes.finished.load();
        const uint32_t n = enter(run.space.dirs[d], name);
        if (!n) return fault("entering '" + name + "' in d" + num(d) + " gave no inode");
        hold(n);
        const std::string path = path_of(n);
        const uint32_t parent = inode_parent(n);
        if (run.changes.started.load() != mark) return;   // it may have moved or gone meanwhile
        ++run.clean_checks;
        const std::string want = run.space.dir_paths[d] + "\\" + name;
        if (!equal_ci(path, want) || parent != run.space.dirs[d])
            fault("inode " + num(n) + " entered as " + want + " has path '" + path + "' and parent " + num(parent));
    }

    void enter_below_and_check() {
        const int d = dir();
        const std::string name = variant(pool()[name_index()]);
        const std::string sub = pick(2) ? "sub" + num(pick(4)) : "a-subdirectory-with-a-long-name-" + num(pick(3));
        const uint64_t mark = run.changes.finished.load();
        const uint32_t x = lookup(run.space.dirs[d], name);
        if (!x) return;
        const uint32_t y = enter(x, sub);   // 0 when x went or became a file with links
        if (!y) return;
        hold(y);
        const std::string path = path_of(y);
        if (run.changes.started.load() != mark) return;
        ++run.clean_checks;
        const std::string want = run.space.dir_paths[d] + "\\" + name + "\\" + sub;
        if (!equal_ci(path, want)) fault("inode " + num(y) + " entered as " + want + " has path '" + path + "'");
    }

    // Enter, path, parent and lookup as one step: the table lock is recursive.
    void enter_locked_check() {
        const int d = dir();
        const std::string name = variant(pool()[name_index()]);
        inode_table_guard g;
        const uint32_t n = enter(run.space.dirs[d], name);
        if (!n) return fault("entering '" + name + "' in d" + num(d) + " gave no inode");
        hold(n);
        ++run.locked_checks;
        const std::string path = path_of(n);
        const std::string want = run.space.dir_paths[d] + "\\" + name;
        if (!equal_ci(path, want) || inode_parent(n) != run.space.dirs[d] ||
            lookup(run.space.dirs[d], variant(name)) != n)
            fault("under the lock, inode " + num(n) + " entered as " + want + " has path '" + path + "'");
    }

    void rename_one() {
        const int a = dir(), b = dir();
        const uint32_t i = name_index();
        const std::string from = variant(pool()[i]);
        const std::string to = variant(pool()[pick(2) ? i : name_index()]);
        const uint32_t from_dir = run.space.dirs[a], to_dir = run.space.dirs[b];
        if (pick(4) == 0) {
            inode_table_guard g;
            const uint32_t x = lookup(from_dir, from);
            if (!x) return;
            changing c(run.changes);
            inode_set_busy(x, 1);
            if (inode_rename(x, from_dir, to_dir, from.data(), from.size(), to.data(), to.size())) {
                ++run.renames;
                ++run.locked_checks;
                const std::string path = path_of(x);
                if (lookup(to_dir, to) != x || inode_parent(x) != to_dir ||
                    !equal_ci(path, run.space.dir_paths[b] + "\\" + to) || inode_set_busy(x, -1) != 0)
                    fault("after renaming " + num(x) + " to d" + num(b) + "\\" + to + " its path is '" + path + "'");
                return;
            }
            // Only a busy record under the new name may stop the rename.
            const uint32_t victim = lookup(to_dir, to);
            if (!victim || victim == x || inode_set_busy(victim, -1) != 1 || lookup(from_dir, from) != x)
                fault("renaming " + num(x) + " from d" + num(a) + "\\" + from + " to d" + num(b) + "\\" + to +
                      " failed, with no busy record in the way");
            inode_set_busy(x, 0);
            return;
        }
        const uint32_t x = lookup(from_dir, from);
        if (!x) return;
        changing c(run.changes);
        inode_set_busy(x, 1);   // as a remove or rename does around the file system call
        if (inode_rename(x, from_dir, to_dir, from.data(), from.size(), to.data(), to.size())) ++run.renames;
        else inode_set_busy(x, 0);
    }

    void delete_one() {
        const int d = dir();
        const std::string name = variant(pool()[name_index()]);
        const uint32_t in = run.space.dirs[d];
        const uint32_t how = pick(3);
        if (how == 0) {   // a busy record survives a delete, not a forced one
            inode_table_guard g;
            const uint32_t x = lookup(in, name);
            if (!x) return;
            changing c(run.changes);
            const uint32_t base = inode_base_of(x);
            inode_set_busy(x, 1);
            if (!inode_delete(x) || lookup(in, name) != x)
                fault("busy record " + num(x) + " did not survive inode_delete");
            if (!inode_delete_forced(x) || lookup(in, name) != 0 || record_at(x))
                fault("inode_delete_forced left record " + num(x) + " (d" + num(d) + "\\" + name + ")");
            if (base != x) inode_unlink_base(base);
            ++run.deletes;
            ++run.locked_checks;
            return;
        }
        const uint32_t x = lookup(in, name);
        if (!x) return;
        changing c(run.changes);
        const uint32_t base = inode_base_of(x);
        bool ok;
        if (how == 1) {
            ok = inode_delete(x);
        } else {
            inode_set_busy(x, 1);
            ok = inode_delete_forced(x);
        }
        if (ok) ++run.deletes;
        if (base != x) inode_unlink_base(base);   // as a remove does: fold when one name is left
    }

    void purge_one() {
        const int d = dir();
        const uint32_t in = run.space.dirs[d];
        if (pick(2) == 0) {
            inode_table_guard g;
            changing c(run.changes);
            // Kept: what this listing saw, what another listing marked, and
            // what a remove or rename has made busy. No file exists, so the
            // purge drops the rest.
            std::vector<std::string> keep;
            for (const std::string& name : child_names(in)) {
                const uint32_t x = lookup(in, name);
                const inode_record* r = record_at(x);
                if (!r) {
                    fault("child '" + name + "' of d" + num(d) + " cannot be looked up");
                    continue;
                }
                const bool marked = (r->flags & (INODE_SEEN | INODE_BUSY)) != 0;
                const bool listed = !marked && pick(2) == 0;
                if (listed) inode_mark_seen(x);
                if (marked || listed) keep.push_back(name);
            }
            inode_purge_unseen(in);
            ++run.purges;
            ++run.locked_checks;
            const std::vector<std::string> left = child_names(in);
            if (left != keep)
                fault("the purge of d" + num(d) + " kept " + num(left.size()) + " names, not " + num(keep.size()));
            for (const std::string& name : left) {
                const inode_record* r = record_at(lookup(in, name));
                if (r && (r->flags & INODE_SEEN)) fault("the purge of d" + num(d) + " left '" + name + "' marked seen");
            }
            return;
        }
        changing c(run.changes);
        for (int k = 0; k < 4; ++k)
            if (const uint32_t x = lookup(in, pool()[name_index()])) inode_mark_seen(x);
        inode_purge_unseen(in);
        ++run.purges;
    }

    // The same name in different directories is the same file: links.
    void link_one() {
        const int d = dir();
        const uint32_t i = name_index();
        const std::string name = variant(pool()[i]);
        const uint32_t in = run.space.dirs[d];
        const int e = (d + 1 + int(pick(kDirs - 1))) % kDirs;
        if (pick(3) == 0) {
            inode_table_guard g;
            const uint32_t x = lookup(in, name);
            if (!x) return;
            changing c(run.changes);
            const inode_record* r = record_at(x);
            const bool directory = !(r->flags & INODE_RING_MEMBER) && r->child != 0;
            const uint32_t b = inode_link_base(x, i + 1, kLinkIndexHigh, kLinkVolume);
            if (directory) {
                if (!b) fault("inode_link_base of directory " + num(x) + " gave 0");
                return;
            }
            const uint32_t m = lookup(in, name);
            inode_record* rb = record_at(b);
            const link_base_fields* f = rb ? reinterpret_cast<const link_base_fields*>(rb->name) : nullptr;
            if (!f || !(rb->flags & INODE_LINK_BASE) || f->index_low != i + 1 || f->index_high != kLinkIndexHigh ||
                f->volume_serial != kLinkVolume || inode_base_of(m) != b)
                return fault("inode_link_base of " + num(x) + " (d" + num(d) + "\\" + name + ") gave " + num(b) +
                             ", which is not the base of its name " + num(m));
            ++run.links;
            ++run.locked_checks;
            const uint32_t y = lookup(run.space.dirs[e], name);
            const inode_record* ry = record_at(y);
            if (!ry || (!(ry->flags & INODE_RING_MEMBER) && ry->child != 0)) return;
            inode_link_add(b, y);
            if (inode_base_of(y) != b) fault("inode_link_add(" + num(b) + ", " + num(y) + ") left it off the ring");
            return;
        }
        const uint32_t x = lookup(in, name);
        if (!x) return;
        changing c(run.changes);
        const uint32_t b = inode_link_base(x, i + 1, kLinkIndexHigh, kLinkVolume);
        if (b) {
            ++run.links;
            hold(b);
        }
        if (pick(2) == 0)
            if (const uint32_t y = lookup(run.space.dirs[e], name)) inode_link_add(b, y);
    }

    void fold_one() {
        const uint32_t x = lookup(run.space.dirs[dir()], pool()[name_index()]);
        if (!x) return;
        const uint32_t b = inode_base_of(x);
        if (b == x) return;
        changing c(run.changes);
        inode_unlink_base(b);
    }

    // What handle resolution does: a number from a client, checked and read
    // under the table lock. Any live record must be where its links say.
    void read_one() {
        inode_table_guard g;
        sizes.insert(g_inode_table.total);
        const uint32_t n =
            held.empty() || pick(2) ? kBlockSize * (1 + pick(block_count() - 1)) : held[pick(held.size())];
        const inode_record* r = record_at(n);
        if (!r) return;
        ++run.live_reads;
        const std::string where = misplaced(n);
        if (!where.empty()) fault("live record " + num(n) + ": " + where);
        if (stored_name(r).size() != r->name_length) fault("record " + num(n) + " has a broken name chain");
    }

    void path_of_held() {
        if (held.empty()) return;
        const uint32_t n = held[pick(held.size())];
        const std::string p = path_of(n);
        if (!p.empty() && !starts_with_ci(p, run.space.top_path + "\\"))
            fault("inode " + num(n) + " has path '" + p + "', outside the namespace");
    }

    void grow_one() {
        const std::string name =
            "grown-entry-with-a-name-long-enough-for-two-blocks-" + num(index) + "-" + num(grown++);
        const uint32_t n = enter(run.space.grow_dirs[index], name);
        if (!n) return fault("entering '" + name + "' in a directory of its own gave no inode");
        hold(n);
    }

    // Weights of the operations, in the order of the switch below.
    static constexpr uint32_t kMixed[12] = {18, 6, 8, 8, 8, 3, 8, 3, 12, 8, 3, 7};
    // Nothing that removes: the rings made here are left for the final check.
    static constexpr uint32_t kLinking[12] = {10, 4, 4, 0, 0, 0, 12, 0, 6, 4, 1, 0};

    void run_steps(uint32_t steps, const uint32_t (&weights)[12]) {
        uint32_t sum = 0;
        for (uint32_t w : weights) sum += w;
        for (const uint32_t end = step + steps; step < end; ++step) {
            uint32_t r = pick(sum), op = 0;
            while (r >= weights[op]) r -= weights[op++];
            switch (op) {
            case 0: enter_and_check(); break;
            case 1: enter_locked_check(); break;
            case 2: enter_below_and_check(); break;
            case 3: rename_one(); break;
            case 4: delete_one(); break;
            case 5: purge_one(); break;
            case 6: link_one(); break;
            case 7: fold_one(); break;
            case 8: read_one(); break;
            case 9: path_of_held(); break;
            case 10: flush_if_dirty(pick(2) ? 0 : kFlushThreshold); break;
            default: grow_one(); break;
            }
        }
        std::lock_guard<std::mutex> g(run.sizes_lock);
        run.sizes.insert(sizes.begin(), sizes.end());
    }
};

TEST_F(inode_stress, ThreadsRunRandomOperationsOnASharedNamespace) {
    ASSERT_TRUE(open_table(kRecords));
    const uint32_t first_total = g_inode_table.total;
    shared_run run;
    stress_space& s = run.space;
    s.top = inode_of_path((dir.windows + "ns").c_str());
    ASSERT_NE(s.top, 0u);
    s.top_path = path_of(s.top);
    for (int d = 0; d < kDirs; ++d) {
        s.dirs[d] = enter(s.top, "d" + num(d));
        s.dir_paths[d] = path_of(s.dirs[d]);
        ASSERT_NE(s.dirs[d], 0u);
    }
    for (int t = 0; t < kThreads; ++t) {
        s.grow_dirs[t] = enter(s.top, "grow" + num(t));
        ASSERT_NE(s.grow_dirs[t], 0u);
    }
    const uint32_t seed = base_seed();
    std::vector<worker> workers;
    workers.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) workers.emplace_back(run, t, seed + uint32_t(t));
    std::vector<std::thread> threads;
    for (auto& w : workers) threads.emplace_back([&w] { w.run_steps(kStepsPerThread, worker::kMixed); });
    for (auto& t : threads) t.join();
    threads.clear();
    for (auto& w : workers) threads.emplace_back([&w] { w.run_steps(kStepsPerThread / 10, worker::kLinking); });
    for (auto& t : threads) t.join();

    SCOPED_TRACE("base seed " + num(seed));
    RecordProperty("clean_checks", num(run.clean_checks.load()));
    RecordProperty("locked_checks", num(run.locked_checks.load()));
    RecordProperty("renames", num(run.renames.load()));
    RecordProperty("deletes", num(run.deletes.load()));
    RecordProperty("links", num(run.links.load()));
    RecordProperty("purges", num(run.purges.load()));
    RecordProperty("live_reads", num(run.live_reads.load()));
    RecordProperty("sizes_seen", num(run.sizes.size()));
    RecordProperty("final_total", num(g_inode_table.total));
    EXPECT_EQ(run.notes.lines.size(), 0u) << run.notes.text();
    // The run did what it is for: the table grew (the view moved) while the
    // threads ran, and every kind of change took place many times.
    EXPECT_GE(run.sizes.size(), 4u) << "the table grew too rarely while the threads ran";
    EXPECT_GT(g_inode_table.total, first_total * 7);
    EXPECT_GE(run.clean_checks.load(), 20u);
    EXPECT_GT(run.locked_checks.load(), 500u);
    EXPECT_GT(run.renames.load(), 100u);
    EXPECT_GT(run.deletes.load(), 100u);
    EXPECT_GT(run.links.load(), 100u);
    EXPECT_GT(run.purges.load(), 50u);
    EXPECT_GT(run.live_reads.load(), 1000u);
    // The fixed directories are where they were.
    for (int d = 0; d < kDirs; ++d) EXPECT_EQ(path_of(s.dirs[d]), s.dir_paths[d]);
    EXPECT_GT(walk_whole_table().bases.size(), 0u) << "the linking phase left no ring to check";
    ASSERT_NO_FATAL_FAILURE(expect_clean_reload());
    EXPECT_EQ(inode_of_path(s.dir_paths[0].c_str()), s.dirs[0]);
}

// ---- a subtree deleted under threads that enter below it -----------------------------

constexpr uint32_t kDeleteRounds = 150;
constexpr int kEnterers = 4;

const char* const kLevelNames[3][4] = {
    {"x0", "x1", "X2", "a-directory-name-longer-than-sixteen"},
    {"y0", "Y1", "y2", "another-fairly-long-name-for-a-second-block-of-text"},
    {"z0", "z1", "leaf-file-name.txt", "Z3"},
};

TEST_F(inode_stress, DeletingASubtreeWhileThreadsEnterBelowIt) {
    ASSERT_TRUE(open_table(kRecords));
    const std::string victim_path = path_of(inode_of_path((dir.windows + "victim").c_str()));
    const uint32_t victim = inode_of_path(victim_path.c_str());
    ASSERT_NE(victim, 0u);
    const std::string sub_prefix = victim_path + "\\sub";
    const table_walk baseline = walk_whole_table();
    ASSERT_TRUE(baseline.faults.empty()) << join(baseline.faults);

    const uint32_t seed = base_seed();
    fault_notes notes;
    std::atomic<uint32_t> current{0};
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> entered{0}, refused{0}, resolved{0};
    auto note = [&](const char* who, uint32_t s, uint64_t step, const std::string& what) {
        notes.add(std::string(who) + " seed " + num(s) + " step " + num(step) + ": " + what);
    };
    auto inside = [&](const std::string& p) { return p.empty() || starts_with_ci(p, sub_prefix); };

    // Only the deleter enters directly below the victim directory, so after
    // its last delete nothing can come back there.
    std::thread deleter([&] {
        std::mt19937 rng(seed);
        for (uint32_t round = 0; round < kDeleteRounds; ++round) {
            const uint32_t s = enter(victim, "sub");
            if (!s) note("deleter", seed, round, "entering sub gave no inode");
            current.store(s);
            const uint64_t goal = entered.load() + 20 + rng() % 40;
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
            while (entered.load() < goal && std::chrono::steady_clock::now() < until) std::this_thread::yield();
            if (rng() % 4 == 0) {   // a directory in the middle of the subtree
                const uint32_t x = lookup(s, kLevelNames[0][rng() % 4]);
                if (x && !inode_delete(x)) note("deleter", seed, round, "deleting " + num(x) + " failed");
                continue;
            }
            if (!inode_delete(s)) note("deleter", seed, round, "deleting sub " + num(s) + " failed");
            if (lookup(victim, "sub") != 0 || !child_names(victim).empty())
                note("deleter", seed, round, "sub is still below the victim after its delete");
        }
        if (const uint32_t s = lookup(victim, "sub")) inode_delete(s);
        stop.store(true);
    });
    std::vector<std::thread> enterers;
    for (int t = 0; t < kEnterers; ++t) {
        enterers.emplace_back([&, t] {
            const uint32_t my_seed = seed + 1 + uint32_t(t);
            std::mt19937 rng(my_seed);
            std::vector<uint32_t> held;
            for (uint64_t step = 0; !stop.load(); ++step) {
                uint32_t d = current.load();
                for (int level = 0; d != 0 && level < 3; ++level) {
                    const std::string name = kLevelNames[level][rng() % 4];
                    const uint32_t e = enter(d, name);   // d may be gone by now
                    if (!e) {
                        ++refused;
                        break;
                    }
                    ++entered;
                    if (held.size() < 32) held.push_back(e);
                    else held[rng() % held.size()] = e;
                    if (rng() % 3 == 0 && !inside(path_of(e)))
                        note("enterer", my_seed, step, "inode " + num(e) + " has path '" + path_of(e) + "'");
                    d = e;
                }
                if (!held.empty()) {   // an old number: gone, or a record below sub
                    const uint32_t n = held[rng() % held.size()];
                    const std::string p = path_of(n);
                    if (!inside(p)) note("enterer", my_seed, step, "old inode " + num(n) + " has path '" + p + "'");
                    const uint32_t parent = inode_parent(n);
                    if (parent && !inside(path_of(parent)) && parent != victim)
                        note("enterer", my_seed, step, "the parent of " + num(n) + " lies outside");
                }
            }
        });
    }
    std::thread resolver([&] {
        const uint32_t my_seed = seed + 100;
        std::mt19937 rng(my_seed);
        for (uint64_t step = 0; !stop.load(); ++step) {
            const std::string x = kLevelNames[0][rng() % 4], y = kLevelNames[1][rng() % 4];
            if (rng() % 2) {   // by names, one lock hold per call
                const uint32_t a = lookup(victim, "sub");
                const uint32_t b = a ? lookup(a, x) : 0;
                const uint32_t c = b ? lookup(b, y) : 0;
                for (uint32_t n : {a, b, c})
                    if (n && !inside(path_of(n))) note("resolver", my_seed, step, "inode " + num(n) + " lies outside");
                continue;
            }
            inode_table_guard g;   // the same walk as one step: it must be exact
            const uint32_t a = lookup(victim, "sub");
            const uint32_t b = a ? lookup(a, x) : 0;
            if (b) {
                ++resolved;
                const std::string p = path_of(b);
                if (!equal_ci(p, sub_prefix + "\\" + x) || inode_parent(b) != a)
                    note("resolver", my_seed, step, "sub\\" + x + " is " + num(b) + " with path '" + p + "'");
            }
            const uint32_t n = kBlockSize * (1 + uint32_t(rng() % (block_count() - 1)));
            const std::string where = misplaced(n);
            if (!where.empty()) note("resolver", my_seed, step, "live record " + num(n) + ": " + where);
        }
    });
    deleter.join();
    for (auto& t : enterers) t.join();
    resolver.join();

    SCOPED_TRACE("base seed " + num(seed));
    RecordProperty("entered", num(entered.load()));
    RecordProperty("refused", num(refused.load()));
    RecordProperty("resolved", num(resolved.load()));
    RecordProperty("final_total", num(g_inode_table.total));
    EXPECT_EQ(notes.lines.size(), 0u) << notes.text();
    EXPECT_GT(entered.load(), 1000u);
    EXPECT_GT(refused.load(), 0u) << "no enter ever met a deleted parent";
    EXPECT_GT(resolved.load(), 0u);
    EXPECT_GT(g_inode_table.total, 64u * kBlockSize) << "the table never grew";
    // Nothing of the deleted subtree is left, reachable or not.
    EXPECT_EQ(lookup(victim, "sub"), 0u);
    EXPECT_TRUE(child_names(victim).empty());
    const table_walk w = walk_whole_table();
    EXPECT_TRUE(w.faults.empty()) << join(w.faults);
    EXPECT_EQ(w.records, baseline.records);
    EXPECT_TRUE(w.bases.empty());
    ASSERT_NO_FATAL_FAILURE(expect_clean_reload());
    // No orphan came back with the load either.
    EXPECT_EQ(walk_whole_table().records, baseline.records);
    EXPECT_EQ(lookup(victim, "sub"), 0u);
    size_t live = 0;
    {
        inode_table_guard g;
        for (uint32_t o = kBlockSize; o < g_inode_table.total; o += kBlockSize) live += record_at(o) != nullptr;
    }
    EXPECT_EQ(live, baseline.records.size());
}

}  // namespace
