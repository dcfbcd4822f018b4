// The first steps of every NFS request: handle_resolve (mount lock, then the
// table lock), the path check against the mount, and a whole GETATTR through
// the file layer. Per second with 1 and 8 threads. Printed, not checked.
#include "tests/support/fs_calls.h"
#include "bench/bench_mount.h"
#include "platform/file.h"
#include "quen/fs/handle_calls.h"
#include "quen/fs/resolve.h"
#include "quen/inode/inode_tree.h"

#include <cstdio>
#include <string>
#include <vector>

int main() {
    bench_mount m;
    if (!bench_mount_open("tervalo-bench-handle", m)) return 1;
    const std::string& share = m.share;
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
    bench_mount_close(m);
    return 0;
}
