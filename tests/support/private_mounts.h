// Linux only: work that mounts file systems for a test runs in a forked
// child with a mount namespace of its own, so its mounts go when it ends
// and the rest of the test program never sees them.
#pragma once
#include <cstddef>
#include <functional>
#include <string>

struct child_outcome {
    bool reported = false;   // the child ran its work to the end and sent the report
    std::string skip;        // why the child could not set up (the test skips), else empty
};

// Whether this process may mount (it runs as root).
bool may_mount();
// In the child: mounts a file system of the type on dir. Result: "" or
// the reason it failed (with the system's error text).
std::string mount_in_child(const char* type, const std::string& dir, const char* options);
// Runs work in the child, which first makes all mounts private. work fills
// report (size bytes, sent back to the parent) and returns "" when done, or
// the reason to skip.
child_outcome run_with_private_mounts(void* report, size_t size, const std::function<std::string()>& work);
