// READ and WRITE through the file layer: 8 KiB requests over 16 files of
// 1 MiB, with the open-file cache on and off, on 1 and 4 threads (each
// thread on files of its own). Requests and megabytes per second. Printed,
// not checked.
#include "tests/support/fs_calls.h"
#include "bench/bench_mount.h"
#include "platform/file.h"
#include "quen/fs/file_io.h"
#include "quen/fs/open_cache.h"
#include "quen/inode/inode_tree.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kRequest = 8192;
constexpr uint64_t kFileSize = 1 << 20;
constexpr int kFiles = 16;

}  // namespace

int main() {
    bench_mount m;
    if (!bench_mount_open("tervalo-bench-file-io", m)) return 1;
    std::vector<uint8_t> data(kRequest, 0x5A);
    std::vector<internal_handle> handles;
    for (int f = 0; f < kFiles; ++f) {
        const std::string file = m.share + "\\file" + std::to_string(f);
        file_handle h(wp_create_file(file.c_str(), WP_GENERIC_WRITE, 0, WP_CREATE_ALWAYS, WP_FILE_ATTRIBUTE_NORMAL));
        for (uint64_t at = 0; at < kFileSize; at += kRequest) {
            uint32_t done = 0;
            wp_write_file(h.get(), data.data(), kRequest, &done);
        }
        h.reset();
        handles.push_back(handle_make(inode_of_path(file.c_str()), 0, m.mount_id));
    }
    fs_credential cred{};
    cred.uid = 1000;
    cred.gid = 1000;
    const int per_file = int(kFileSize / kRequest);
    std::atomic<int> failures{0};
    for (bool cached : {true, false}) {
        cache_init(cached);
        for (int threads : {1, 4}) {
            const int rounds = 20000 / threads;
            auto pick = [&](int t, int i) -> const internal_handle& {
                return handles[size_t(t + threads * ((i / per_file) % (kFiles / threads)))];
            };
            const double reads = per_second(threads, rounds, [&](int t, int i) {
                thread_local std::vector<uint8_t> buffer(kRequest);
                uint32_t count = kRequest;
                file_attributes after;
                if (file_read(pick(t, i), uint64_t(i % per_file) * kRequest, &count, buffer.data(), cred, after) ||
                    count != kRequest)
                    failures.fetch_add(1);
            });
            const double writes = per_second(threads, rounds / 2, [&](int t, int i) {
                uint32_t count = kRequest;
                file_attributes before, after;
                if (file_write(pick(t, i), uint64_t(i % per_file) * kRequest, &count, data.data(), WRITE_CACHED, cred,
                               before, after))
                    failures.fetch_add(1);
            });
            std::printf("cache %s, %d thread%s: read %.0f/s (%.0f MB/s), write %.0f/s (%.0f MB/s)\n",
                        cached ? "on " : "off", threads, threads == 1 ? " " : "s", reads, reads * kRequest / 1e6,
                        writes, writes * kRequest / 1e6);
        }
        cache_close_all();
    }
    bench_mount_close(m);
    if (failures.load()) std::printf("%d requests failed\n", failures.load());
    return failures.load() ? 1 : 0;
}
