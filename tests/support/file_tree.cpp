// Kept apart from sources that include the RPC headers: <windows.h> clashes
// with some of their names.
#include "tests/support/file_tree.h"

#include "platform/file.h"

#include <chrono>
#include <random>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

bool running_under_wine() {
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

void remove_tree(const std::string& path) {
    const uint32_t a = wp_get_file_attributes(path.c_str());
    if (a == WP_INVALID_FILE_ATTRIBUTES) return;
    if (a & (WP_FILE_ATTRIBUTE_READONLY | WP_FILE_ATTRIBUTE_HIDDEN | WP_FILE_ATTRIBUTE_SYSTEM))
        wp_set_file_attributes(path.c_str(),
                               a & ~uint32_t(WP_FILE_ATTRIBUTE_READONLY | WP_FILE_ATTRIBUTE_HIDDEN | WP_FILE_ATTRIBUTE_SYSTEM));
    if (!(a & WP_FILE_ATTRIBUTE_DIRECTORY)) {
        wp_delete_file(path.c_str());
        return;
    }
    if (!(a & WP_FILE_ATTRIBUTE_REPARSE_POINT)) {
        wp_find_data d;
        std::vector<std::string> names;
        wp_find_handle h = wp_find_first((path + "\\*").c_str(), WP_FIND_EX_INFO_BASIC, &d, 0, 0);
        if (h != WP_INVALID_FIND_HANDLE) {
            do {
                const std::string n = d.name;
                if (n != "." && n != "..") names.push_back(n);
            } while (wp_find_next(h, &d));
            wp_find_close(h);
        }
        for (const std::string& n : names) remove_tree(path + "\\" + n);
    }
    wp_remove_directory(path.c_str());
}

std::string unique_test_folder(const std::string& prefix) {
    std::mt19937_64 rng(uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^ std::random_device{}());
    return "Z:\\tmp\\" + prefix + std::to_string(rng() % 1000000000000ull);
}
