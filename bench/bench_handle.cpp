// The first steps of every NFS request: handle_resolve (mount lock, then the
// table lock), the path check against the mount, and a whole GETATTR through
// the file layer. Per second with 1 and 8 threads. Printed, not checked.
#include "platform/file.h"
#include "platform/path.h"
#include "quen/fs/handle_calls.h"
#include "quen/fs/resolve.h"
#include "quen/inode/inode_table.h"
#include "quen/inode/inode_tree.h"
#include "quen/mount/exports.h"
#include "quen/mount/mount_folder.h"
#include "quen/mount/mount_table.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

template <typename Step>
double per_second(int threads, int per_thread, Step step) {
    std::atomic<bool> go{false};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < per_thread; ++i) step(t, i);
        });
    const auto t0 = clock_type::now();
    go = true;
    for (std::thread& th : pool) th.join();
    const double s = std::chrono::duration<double>(clock_type::now() - t0).count();
    return double(threads) * per_thread / s;
}

}  // namespace

int main() {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / "tervalo-bench-handle";
    fs::remove_all(dir);
    fs::create_directories(dir / "share");
    char base[2048];
    path_from_setting(dir.string().c_str(), base, sizeof base);
    const std::string table = std::string(base) + "\\inodes.nfs";
    const std::string share = std::string(base) + "\\share";
    inode_table_options o;
    o.path = table.c_str();
    o.reset = true;
    if (!inode_table_open_with(o)) {
        std::fprintf(stderr, "bench_handle: cannot open %s\n", table.c_str());
        return 1;
    }
    mount_table_init();
    const std::string exports = share + "\n";
    exports_load_text(exports.data(), exports.size());
    export_entry* exp = exports_active();
    const folder_mount m = exp ? mount_folder_record(0x0100007Fu, exp, share, NAME_ENCODING_UTF8, 17)
                               : folder_mount{};
    if (m.status != MOUNT_FOLDER_OK) {
        std::fprintf(stderr, "bench_handle: cannot mount %s\n", share.c_str());
        return 1;
    }
    // 1000 files in 10 folders, each with its handle.
    std::vector<internal_handle> handles;
    for (int d = 0; d < 10; ++d) {
        const std::string folder = share + "\\dir" + std::to_string(d);
        wp_create_directory(folder.c_str());
        for (int f = 0; f < 100; ++f) {
            const std::string file = folder + "\\file" + std::to_string(f) + ".txt";
            file_handle h(wp_create_file(file.c_str(), WP_GENERIC_WRITE, 0, WP_CREATE_ALWAYS, WP_FILE_ATTRIBUTE_NORMAL));
            handles.push_back(handle_make(inode_of_path(file.c_str()), 0, m.mount_id));
        }
    }
    const size_t n = handles.size();
    fs_credential cred{};
    cred.uid = 1000;
    cred.gid = 1000;
    for (int threads : {1, 8}) {
        const int rounds = 200000 / threads;
        const double resolve = per_second(threads, rounds, [&](int t, int i) {
            mount_context ctx;
            char mounted[kHandlePathSize];
            handle_resolve(handles[size_t(t * 7 + i) % n], &ctx, mounted);
        });
        const double checked = per_second(threads, rounds / 10, [&](int t, int i) {
            mount_context ctx;
            char mounted[kHandlePathSize];
            char path[kResolvePathSize];
            const internal_handle& h = handles[size_t(t * 7 + i) % n];
            resolve_handle_path(ctx, handle_resolve(h, &ctx, mounted), path, nullptr);
        });
        const double getattr = per_second(threads, rounds / 20, [&](int t, int i) {
            file_attributes a;
            fs_getattr(handles[size_t(t * 7 + i) % n], cred, a);
        });
        std::printf("%d thread%s: handle_resolve %.0f/s, + path inside mount %.0f/s, whole getattr %.0f/s\n", threads,
                    threads == 1 ? "" : "s", resolve, checked, getattr);
    }
    mount_context ctx;
    char mounted[kHandlePathSize];
    handle_resolve(handles[0], &ctx, mounted);
    std::printf("(mount flags %08x: the volume check of every path is %s)\n", ctx.flags,
                (ctx.flags & MOUNT_FLAG_FIXED_DRIVE) ? "skipped on this fixed drive" : "made");
    mount_table_clear();
    exports_free_all();
    inode_table_close();
    fs::remove_all(dir);
    return 0;
}
