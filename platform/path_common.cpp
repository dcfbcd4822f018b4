#include "platform/path_common.h"

#include <cstring>

size_t copy_path_out(std::string_view s, char* out, size_t size) {
    if (!out || size == 0) return 0;
    if (s.size() + 1 > size) {
        out[0] = 0;
        return 0;
    }
    std::memcpy(out, s.data(), s.size());
    out[s.size()] = 0;
    return s.size();
}
