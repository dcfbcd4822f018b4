#include "tests/config/test_env.h"

#include "platform/path.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

std::string unique_name(const std::string& tag) {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    return "tervalo-" + tag + "-" + std::to_string(stamp) + "-" + std::to_string(counter++);
}

}  // namespace

bool running_on_windows() {
#ifdef _WIN32
    return true;
#else
    return false;
#endif
}

temp_folder make_temp_folder(const std::string& tag) {
    const fs::path dir = fs::temp_directory_path() / unique_name(tag);
    fs::create_directories(dir);
    temp_folder t;
    t.native = dir.string();
    char buf[2048];
    std::string form = t.native;
    if (!running_on_windows()) form += "/";
    path_from_setting(form.c_str(), buf, sizeof buf);
    t.windows = buf;
    if (t.windows.back() != '\\') t.windows += '\\';
    return t;
}

std::string use_private_registry(const std::string& tag) {
    if (running_on_windows()) return "";
    const temp_folder dir = make_temp_folder(tag);
    const std::string file = dir.native + "/registry.reg";
#ifndef _WIN32
    setenv("TERVALO_REGISTRY", file.c_str(), 1);
#endif
    return file;
}
