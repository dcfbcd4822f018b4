// Shared by the path backends.
#pragma once
#include <cstddef>
#include <string_view>

// Copies s with its NUL into out. Result: the length, or 0 when it does not
// fit (out is then empty).
size_t copy_path_out(std::string_view s, char* out, size_t size);
