// nfs_name_to_windows calls per second for typical names under UTF-8, ASCII
// and code page encodings, and windows_name_to_nfs for the listing side.
// Prints figures.
//
// usage: bench_names [seconds per figure, default 1.0]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "quen/fs/names.h"

namespace {

using bench_clock = std::chrono::steady_clock;

const char* const kNames[] = {
    "Makefile", "README.md", "src", "main.cpp", "a*b?c", "x.", "con.txt", "report 2024 (final).pdf",
    "caf\xc3\xa9", "very_long_file_name_with_many_characters_in_it.tar.gz",
};

template <typename F>
void measure(const char* label, double seconds, F&& one_round) {
    const size_t per_round = sizeof kNames / sizeof kNames[0];
    size_t calls = 0;
    const auto start = bench_clock::now();
    const auto until = start + std::chrono::duration<double>(seconds);
    unsigned sink = 0;
    while (bench_clock::now() < until) {
        for (int i = 0; i < 1000; ++i) sink += one_round();
        calls += 1000 * per_round;
    }
    const double elapsed = std::chrono::duration<double>(bench_clock::now() - start).count();
    std::printf("%-34s %12.0f names/s   (%u)\n", label, double(calls) / elapsed, sink & 1);
}

unsigned to_windows_round(const mount_context& m) {
    char path[kNamePathSize];
    unsigned r = 0;
    for (const char* n : kNames) {
        std::memcpy(path, "C:\\export\\dir", 14);
        size_t pos = 0;
        r += nfs_name_to_windows(m, path, n, std::strlen(n), &pos) + unsigned(pos);
    }
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
    names_setup(nullptr, nullptr, 1252);
    mount_context m{};
    m.max_component_length = 255;

    m.name_encoding = NAME_ENCODING_UTF8;
    measure("nfs_name_to_windows utf-8", seconds, [&] { return to_windows_round(m); });
    m.name_encoding = NAME_ENCODING_ASCII;
    measure("nfs_name_to_windows ascii", seconds, [&] { return to_windows_round(m); });
    m.name_encoding = NAME_ENCODING_CODE_PAGE;
    measure("nfs_name_to_windows code page 1252", seconds, [&] { return to_windows_round(m); });

    m.name_encoding = NAME_ENCODING_UTF8;
    m.flags = MOUNT_FLAG_CASE_SENSITIVE;
    std::string windows[sizeof kNames / sizeof kNames[0]];
    for (size_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
        char path[kNamePathSize] = "C:\\d";
        size_t pos = 0;
        if (nfs_name_to_windows(m, path, kNames[i], std::strlen(kNames[i]), &pos) == NAME_OK) windows[i] = path + pos;
    }
    measure("windows_name_to_nfs", seconds, [&] {
        char out[kNameSize];
        unsigned r = 0;
        for (const auto& w : windows) r += unsigned(windows_name_to_nfs(m, w.c_str(), out, sizeof out));
        return r;
    });
    return 0;
}
