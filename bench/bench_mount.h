// What the file layer benchmarks share: a fresh inode table and one mounted
// export in a temporary folder, and a rate measured over threads.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

struct bench_mount {
    std::string dir;    // the temporary folder, Linux form
    std::string share;  // the exported folder, Windows form
    uint32_t mount_id = 0;
};

// false (with a message on stderr) when the table or the mount fails.
bool bench_mount_open(const char* name, bench_mount& m);
void bench_mount_close(bench_mount& m);

// Steps per second with this many threads each making per_thread steps.
template <typename Step>
double per_second(int threads, int per_thread, Step step) {
    std::atomic<bool> go{false};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < per_thread; ++i) step(t, i);
        });
    const auto t0 = std::chrono::steady_clock::now();
    go = true;
    for (std::thread& th : pool) th.join();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return double(threads) * per_thread / s;
}
