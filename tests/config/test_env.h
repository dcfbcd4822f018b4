// Test surroundings that differ between the POSIX stand-in and Windows.
#pragma once
#include <string>

// Points the POSIX registry at a fresh file of the test's own (no-op on
// Windows, where the real registry is used). Returns the file's path or "".
std::string use_private_registry(const std::string& tag);
// A fresh directory for the test, in Windows form with a trailing backslash,
// and the same directory as the C++ library names it.
struct temp_folder {
    std::string windows;
    std::string native;
};
temp_folder make_temp_folder(const std::string& tag);
bool running_on_windows();
