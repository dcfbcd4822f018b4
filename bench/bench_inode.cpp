// Inode table speed: inode_enter and inode_path per second over a tree of
// 1 000 000 paths, the table bytes each path costs, the time a start takes
// to load (and check) that table again, and lookups in listing order in
// folders of 1 000 to 100 000 names (a listing's cost per name should not
// grow with the folder). Printed, not checked.
#include "platform/path.h"
#include "quen/inode/inode_table.h"
#include "quen/inode/inode_tree.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <random>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / "tervalo-bench-inode";
    fs::create_directories(dir);
    std::string native = (dir / "inodes.nfs").string();
    if (argc > 1) native = argv[1];
    char table[2048];
    path_from_setting(native.c_str(), table, sizeof table);
    inode_table_options o;
    o.path = table;
    o.initial_records = 131072;
    o.reset = true;
    if (!inode_table_open_with(o)) {
        std::fprintf(stderr, "bench_inode: cannot open %s\n", table);
        return 1;
    }
    using clock = std::chrono::steady_clock;
    std::vector<uint32_t> files;
    files.reserve(1000000);
    const uint32_t top = inode_of_path("C:\\");
    char name[64];
    auto t0 = clock::now();
    for (int a = 0; a < 100; ++a) {
        const int n1 = std::snprintf(name, sizeof name, "directory-%03d", a);
        const uint32_t d1 = inode_enter(top, name, size_t(n1));
        for (int b = 0; b < 100; ++b) {
            const int n2 = std::snprintf(name, sizeof name, "sub%03d", b);
            const uint32_t d2 = inode_enter(d1, name, size_t(n2));
            for (int c = 0; c < 100; ++c) {
                const int n3 = std::snprintf(name, sizeof name, "file-%03d.dat", c);
                files.push_back(inode_enter(d2, name, size_t(n3)));
            }
        }
    }
    const double enter_s = std::chrono::duration<double>(clock::now() - t0).count();
    char path[kInodePathSize];
    size_t bytes = 0;
    t0 = clock::now();
    for (uint32_t f : files) bytes += inode_path(f, path);
    const double path_s = std::chrono::duration<double>(clock::now() - t0).count();
    uint32_t free_bytes = 0;
    {
        inode_table_guard g;
        for (uint32_t r = table_head()->free_head; r; r = reinterpret_cast<free_run*>(g_inode_table.base + r)->next)
            free_bytes += reinterpret_cast<free_run*>(g_inode_table.base + r)->size;
    }
    const double paths = double(files.size()) + 100 + 100 * 100;
    std::printf("inode_enter: %.0f per second (%zu files, %.2f s)\n", paths / enter_s, files.size(), enter_s);
    std::printf("inode_path:  %.0f per second (%.1f bytes each)\n", double(files.size()) / path_s,
                double(bytes) / double(files.size()));
    std::printf("table: %u bytes, %.1f used bytes per path\n", g_inode_table.total,
                double(g_inode_table.total - free_bytes) / paths);
    // Names entered in a shuffled order, then found as a listing finds them.
    for (const int count : {1000, 20000, 100000}) {
        const int n0 = std::snprintf(name, sizeof name, "listing-%d", count);
        const uint32_t folder = inode_enter(top, name, size_t(n0));
        std::vector<int> order(static_cast<size_t>(count));
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), std::mt19937(7));
        for (int i : order) inode_enter(folder, name, size_t(std::snprintf(name, sizeof name, "entry%07d", i)));
        t0 = clock::now();
        for (int i = 0; i < count; ++i) inode_enter(folder, name, size_t(std::snprintf(name, sizeof name, "entry%07d", i)));
        const double s = std::chrono::duration<double>(clock::now() - t0).count();
        std::printf("listing:     %.0f names per second in a folder of %d\n", double(count) / s, count);
    }
    inode_table_close();
    o.reset = false;
    t0 = clock::now();
    const bool loaded = inode_table_open_with(o);
    const double load_s = std::chrono::duration<double>(clock::now() - t0).count();
    std::printf("load:        %.3f s for the table of %.0f paths%s\n", load_s, paths, loaded ? "" : " (failed)");
    const bool kept = loaded && inode_path(files.back(), path) > 0;
    std::printf("             the last file's path %s after the load\n", kept ? "found" : "NOT found");
    inode_table_close();
    fs::remove_all(dir);
    return 0;
}
