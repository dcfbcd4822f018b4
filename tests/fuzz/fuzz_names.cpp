// Fuzzes name and path translation with any bytes: the first bytes choose
// the mount (encoding, flags, volume name limit, substitutes, code page), the
// rest is a client name. Buffers are allocated at their exact sizes so that
// any write past them is caught. Checked: the statuses, that refused names
// leave the path alone, that no Windows form holds a byte Windows refuses or
// a trimmable end or a device name, and that names read back unchanged.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "tests/fuzz/fuzz_check.h"
#include "platform/codepage.h"
#include "quen/config/settings.h"
#include "quen/config/char_class.h"
#include "quen/fs/names.h"
#include "quen/inode/paths.h"

namespace {

constexpr uint32_t kPages[] = {437, 850, 932, 936, 949, 950, 1251, 1252, 1258, 65001};
constexpr size_t kHeader = 5;

struct setup {
    mount_context ctx{};
    std::string dir;
};

setup choose(const uint8_t* d) {
    setup s;
    s.ctx.name_encoding = d[0] % 3;
    s.ctx.flags = (d[0] & 0x08 ? MOUNT_FLAG_SUB : 0) | (d[0] & 0x10 ? MOUNT_FLAG_CASE_SENSITIVE : 0);
    static constexpr uint32_t limits[] = {255, 12, 8, 4096};
    s.ctx.max_component_length = limits[(d[0] >> 5) & 3];
    s.ctx.sub_colon = d[1] & 0x80 ? 0 : d[1];
    s.ctx.sub_question = d[2] & 0x80 ? 0 : d[2];
    // Directories of every length up to the limit, with and without a separator.
    size_t len = size_t(d[3]) * 8 + (d[4] & 7);
    if (len > kNamePathSize - 2) len = kNamePathSize - 2;   // room for a separator and the NUL
    s.dir = "C:\\" + std::string(len < 3 ? 0 : len - 3, 'd');
    if (d[4] & 8) s.dir += '\\';
    return s;
}

void check_path_functions(const uint8_t* data, size_t size) {
    const size_t n = size < kNamePathSize ? size : kNamePathSize - 1;
    std::unique_ptr<char[]> buf(new char[n + 2]);
    for (size_t grow = 0; grow < 2; ++grow) {
        std::memcpy(buf.get(), data, n);
        buf[n] = 0;
        const size_t len = strlen(buf.get());
        size_t r = windows_path_to_nfs(nullptr, buf.get(), len + 1);
        FUZZ_CHECK(r <= len && r == strlen(buf.get()));
        std::memcpy(buf.get(), data, n);
        buf[n] = 0;
        r = nfs_path_to_windows(nullptr, buf.get(), len + 1 + grow);
        FUZZ_CHECK(r <= len + 1 && r == strlen(buf.get()));
        std::memcpy(buf.get(), data, n);
        buf[n] = 0;
        r = root_prefix_length(buf.get(), len + 1 + grow);
        FUZZ_CHECK(r <= strlen(buf.get()));
        std::memcpy(buf.get(), data, n);
        buf[n] = 0;
        (void)is_windows_root_path(buf.get());
    }
}

void check_code_pages(uint32_t page, const uint8_t* data, size_t size) {
    const size_t n = size < 600 ? size : 600;
    std::unique_ptr<char[]> buf(new char[n + 1]);
    std::memcpy(buf.get(), data, n);
    buf[n] = 0;
    size_t r = codepage_to_utf8(page, buf.get(), n + 1);
    FUZZ_CHECK(r <= n && (r == 0 || r == strlen(buf.get())));
    std::memcpy(buf.get(), data, n);
    buf[n] = 0;
    r = utf8_to_codepage(page, buf.get(), n + 1);
    FUZZ_CHECK(r <= n && (r == 0 || r == strlen(buf.get())));
}

bool refusable_byte(uint8_t c) { return c < 32 || c == '/'; }

// The length Windows counts: one unit a character, two beyond the basic plane.
size_t utf16_units(const char* s, size_t len) {
    size_t units = 0;
    for (size_t i = 0; i < len; ++i) {
        const uint8_t c = uint8_t(s[i]);
        if ((c & 0xC0) != 0x80) units += c >= 0xF0 ? 2 : 1;
    }
    return units;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kHeader) return 0;
    const uint32_t page = kPages[data[1] % (sizeof kPages / sizeof kPages[0])];
    static const std::string lists[] = {"", "#ABCDEFGHIJ", "$conCOM1lpt", "'^~={}%`!"};
    names_setup(lists[data[2] % 4].c_str(), nullptr, page);
    setup s = choose(data);
    const char* name = reinterpret_cast<const char*>(data + kHeader);
    const size_t name_len = size - kHeader;

    std::unique_ptr<char[]> path(new char[kNamePathSize]);
    std::memcpy(path.get(), s.dir.c_str(), s.dir.size() + 1);
    size_t pos = 0;
    const uint32_t status = nfs_name_to_windows(s.ctx, path.get(), name, name_len, &pos);
    FUZZ_CHECK(status == NAME_OK || status == NAME_NOENT || status == NAME_ISDIR || status == NAME_TOOLONG);
    const bool plain = s.ctx.name_encoding != NAME_ENCODING_CODE_PAGE && !(s.ctx.flags & MOUNT_FLAG_SUB);
    if (status != NAME_OK) {
        FUZZ_CHECK(s.dir == path.get());
    } else {
        const size_t total = strlen(path.get());
        FUZZ_CHECK(total < kNamePathSize - 2 && pos <= total && pos > 0 && path[pos - 1] == '\\');
        const char* win = path.get() + pos;
        const size_t wlen = total - pos;
        FUZZ_CHECK(wlen > 0 && wlen < kNameSize);
        for (size_t i = 0; i < wlen; ++i) FUZZ_CHECK(char_valid_in_name(uint8_t(win[i])));
        FUZZ_CHECK(win[wlen - 1] != '.' && win[wlen - 1] != ' ');
        FUZZ_CHECK(!names_is_reserved_device(win, wlen));
        if (s.ctx.name_encoding == NAME_ENCODING_ASCII)
            for (size_t i = 0; i < wlen; ++i) FUZZ_CHECK(uint8_t(win[i]) < 128);
        if (s.ctx.max_component_length > 12) FUZZ_CHECK(utf16_units(win, wlen) <= s.ctx.max_component_length);
        else FUZZ_CHECK(wlen <= 12);
        if (plain) {
            for (size_t i = 0; i < name_len; ++i) FUZZ_CHECK(!refusable_byte(uint8_t(name[i])));
            // Read back; a case-sensitive mount drops what looks like a suffix.
            mount_context back_ctx = s.ctx;
            back_ctx.flags &= ~MOUNT_FLAG_CASE_SENSITIVE;
            std::unique_ptr<char[]> back(new char[kNameSize]);
            size_t blen = windows_name_to_nfs(back_ctx, win, back.get(), kNameSize);
            FUZZ_CHECK(blen == name_len && std::memcmp(back.get(), name, name_len) == 0);
        }
    }

    // Any Windows name, in buffers of the listing and the link target sizes
    // and of its own size.
    const size_t wn = strnlen(name, name_len < kNamePathSize - 1 ? name_len : kNamePathSize - 1);
    std::string windows_name(name, wn);
    for (size_t out_size : {kNameSize, kNamePathSize, wn + 1}) {
        std::unique_ptr<char[]> out(new char[out_size]);
        size_t r = windows_name_to_nfs(s.ctx, windows_name.c_str(), out.get(), out_size);
        FUZZ_CHECK(r < out_size && r <= wn && (wn >= out_size ? r == 0 : true));
    }

    check_path_functions(reinterpret_cast<const uint8_t*>(name), name_len);
    check_code_pages(page, reinterpret_cast<const uint8_t*>(name), name_len);
    return 0;
}
