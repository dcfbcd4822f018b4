// Cost of the POSIX volume layer: opening and reading the attributes of an
// existing file through it against a plain stat(), and path resolution per
// second for exact and differently-cased spellings. Figures are printed only.
#include "platform/file.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

template <typename F>
double seconds_for(int rounds, F&& f) {
    const auto start = clock_type::now();
    for (int i = 0; i < rounds; ++i) f();
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

}  // namespace

int main() {
    const std::string native_dir = "/tmp/tervalo-bench-volume-" + std::to_string(getpid());
    std::string dir = "Z:" + native_dir;
    for (char& c : dir)
        if (c == '/') c = '\\';
    const std::string deep = dir + "\\Some Folder\\Another Level";
    wp_create_directory(dir.c_str());
    wp_create_directory((dir + "\\Some Folder").c_str());
    wp_create_directory(deep.c_str());
    const std::string file = deep + "\\Existing File.txt";
    {
        file_handle h(wp_create_file(file.c_str(), WP_GENERIC_WRITE, 0, WP_CREATE_ALWAYS, 0));
        if (!h.valid()) {
            std::fprintf(stderr, "bench_volume: cannot create %s (error %u)\n", file.c_str(), file_last_error());
            return 1;
        }
    }
    const std::string native_file = native_dir + "/Some Folder/Another Level/Existing File.txt";
    const int rounds = 100000;

    const double plain = seconds_for(rounds, [&] {
        struct stat st;
        ::stat(native_file.c_str(), &st);
    });
    const double layer = seconds_for(rounds, [&] {
        file_handle h(wp_create_file(file.c_str(), 0, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING, WP_FILE_FLAG_BACKUP_SEMANTICS));
        wp_file_information info;
        wp_get_file_information_by_handle(h.get(), &info);
    });
    std::printf("plain stat:               %8.0f ns\n", plain / rounds * 1e9);
    std::printf("open + info through layer: %8.0f ns  (ratio %.1f)\n", layer / rounds * 1e9, layer / plain);

    const double exact = seconds_for(rounds, [&] { wp_get_file_attributes(file.c_str()); });
    const std::string other_case = dir + "\\SOME FOLDER\\another level\\existing FILE.TXT";
    const int scan_rounds = 20000;
    const double folded = seconds_for(scan_rounds, [&] { wp_get_file_attributes(other_case.c_str()); });
    std::printf("path resolution, exact spelling:  %10.0f per second\n", rounds / exact);
    std::printf("path resolution, other case:      %10.0f per second\n", scan_rounds / folded);

    wp_delete_file(file.c_str());
    wp_remove_directory(deep.c_str());
    wp_remove_directory((dir + "\\Some Folder").c_str());
    wp_remove_directory(dir.c_str());
    return 0;
}
