// Reparse points: symbolic links and junctions are real Linux symbolic links
// (see link_kind in volume.h); every other tag is kept in an extended attribute.
#include "platform/posix/volume_fcntl.h"
#include "platform/posix/drive_map.h"
#include "platform/posix/volume.h"
#include "platform/utf16.h"
#include "platform/win_error.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

namespace {

constexpr size_t kHeader = 8;

uint32_t le32(const unsigned char* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint16_t le16(const unsigned char* p) { return uint16_t(p[0] | p[1] << 8); }
void put16(std::string& s, uint16_t v) { s.push_back(char(v & 0xFF)); s.push_back(char(v >> 8)); }
void put32(std::string& s, uint32_t v) { put16(s, uint16_t(v)); put16(s, uint16_t(v >> 16)); }

bool is_link_tag(uint32_t tag) { return tag == WP_IO_REPARSE_TAG_SYMLINK || tag == WP_IO_REPARSE_TAG_MOUNT_POINT; }

std::string utf16_bytes(const std::string& utf8) {
    std::u16string w;
    utf8_to_utf16(utf8, w);
    std::string b;
    for (char16_t c : w) put16(b, uint16_t(c));
    return b;
}

bool utf8_of(const unsigned char* p, size_t bytes, std::string& out) {
    std::u16string w;
    for (size_t i = 0; i + 1 < bytes + 1 && i + 2 <= bytes; i += 2) w.push_back(char16_t(le16(p + i)));
    return utf16_to_utf8(w, out);
}

// The REPARSE_DATA_BUFFER of a link, in the form this layer writes.
std::string link_buffer(link_kind kind, const std::string& target, bool relative) {
    const bool junction = kind == link_kind::junction;
    const std::string substitute = utf16_bytes(relative ? target : "\\??\\" + target);
    const std::string print = utf16_bytes(target);
    std::string body;
    put16(body, 0);
    put16(body, uint16_t(substitute.size()));
    put16(body, uint16_t(substitute.size() + 2));
    put16(body, uint16_t(print.size()));
    if (!junction) put32(body, relative ? uint32_t(WP_SYMLINK_FLAG_RELATIVE) : 0u);
    body += substitute;
    body.append(2, '\0');
    body += print;
    body.append(2, '\0');
    std::string out;
    put32(out, junction ? WP_IO_REPARSE_TAG_MOUNT_POINT : WP_IO_REPARSE_TAG_SYMLINK);
    put16(out, uint16_t(body.size()));
    put16(out, 0);
    return out + body;
}

// Decodes a symlink or junction buffer into the Linux link text.
uint32_t parse_link_buffer(const unsigned char* b, size_t size, link_kind object_kind, std::string& text) {
    const uint32_t tag = le32(b);
    const size_t length = le16(b + 4);
    const bool junction = tag == WP_IO_REPARSE_TAG_MOUNT_POINT;
    const size_t fixed = junction ? 8 : 12;
    if (length < fixed || kHeader + length > size) return WIN_ERROR_INVALID_REPARSE_DATA;
    const unsigned char* body = b + kHeader;
    const size_t sub_off = le16(body), sub_len = le16(body + 2);
    const uint32_t flags = junction ? 0 : le32(body + 8);
    if (fixed + sub_off + sub_len > length || sub_len == 0 || sub_len % 2) return WIN_ERROR_INVALID_REPARSE_DATA;
    std::string target;
    if (!utf8_of(body + fixed + sub_off, sub_len, target)) return WIN_ERROR_INVALID_REPARSE_DATA;
    const bool relative = !junction && (flags & WP_SYMLINK_FLAG_RELATIVE);
    if (relative) {
        for (char& c : target)
            if (c == '\\') c = '/';
        text = target;
    } else {
        if (target.compare(0, 4, "\\??\\") == 0) target.erase(0, 4);
        volume_path vp;
        std::string native;
        if (resolve_path(target.c_str(), vp) == 0)
            native = vp.native;
        else if (!windows_to_native_path(target.c_str(), native))
            return WIN_ERROR_INVALID_REPARSE_DATA;
        text = native;
    }
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    // Only a junction's absolute text ends in "/.": an absolute link's own
    // "." at the end goes, as it names the same folder (a relative text is
    // kept whole, as it never reads back as a junction).
    if (!junction && !relative)
        while (text.size() >= 2 && text.compare(text.size() - 2, 2, "/.") == 0)
            text.resize(std::max<size_t>(text.size() - 2, 1));
    const bool at_root = text.size() == 1 && text[0] == '/';
    if (junction || object_kind == link_kind::junction)
        text.append(at_root ? "." : "/.");
    else if (object_kind == link_kind::directory_symlink && !at_root)
        text.push_back('/');
    return WIN_ERROR_SUCCESS;
}

// Points the handle at the object now at its path.
void reopen(posix_file* f) {
    if (f->fd >= 0) ::close(f->fd);
    f->fd = f->link ? ::open(f->native.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC)
                    : ::open(f->native.c_str(), (f->directory ? O_RDONLY | O_DIRECTORY : O_RDWR) | O_CLOEXEC);
    struct stat st;
    if (f->fd >= 0 && ::fstat(f->fd, &st) == 0) rekey_open(f, st.st_dev, st.st_ino);
}

bool directory_empty(const std::string& native) {
    DIR* d = ::opendir(native.c_str());
    if (!d) return false;
    bool empty = true;
    while (dirent* e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) {
            empty = false;
            break;
        }
    ::closedir(d);
    return empty;
}

bool set_reparse(posix_file* f, const unsigned char* in, uint32_t in_size) {
    if (!in || in_size < kHeader) return fail(WIN_ERROR_INVALID_REPARSE_DATA);
    const uint32_t tag = le32(in);
    const size_t total = kHeader + le16(in + 4) + ((tag & 0x80000000u) ? 0 : 16);  // other makers add a GUID
    if (total > in_size || total > WP_MAXIMUM_REPARSE_DATA_BUFFER_SIZE) return fail(WIN_ERROR_INVALID_REPARSE_DATA);
    if (tag == 0 || tag == 0x80000000u) return fail(WIN_ERROR_REPARSE_TAG_INVALID);
    const std::string parent = f->native.substr(0, f->native.find_last_of('/'));
    if (!volume_keeps_xattrs(parent.empty() ? "/" : parent)) return fail(WIN_ERROR_INVALID_FUNCTION);
    struct stat st;
    if (::lstat(f->native.c_str(), &st) != 0) return fail_errno(errno);
    const uint32_t current = object_reparse_tag(f->native, st);
    if (current && current != tag) return fail(WIN_ERROR_REPARSE_TAG_MISMATCH);
    if (!is_link_tag(tag)) {
        if (f->link) return fail(WIN_ERROR_REPARSE_TAG_MISMATCH);
        if (uint32_t e = write_reparse_xattr(f->native, std::string(reinterpret_cast<const char*>(in), total)))
            return fail(e);
        return succeed();
    }
    link_kind kind = f->directory ? link_kind::directory_symlink : link_kind::file_symlink;
    if (f->link) read_link_object(f->native, kind, nullptr, nullptr);
    if (tag == WP_IO_REPARSE_TAG_MOUNT_POINT) {
        if (!f->directory) return fail(WIN_ERROR_DIRECTORY);
        kind = link_kind::junction;
    } else if (kind == link_kind::junction) {
        kind = link_kind::directory_symlink;
    }
    if (!f->link) {
        if (f->directory && !directory_empty(f->native)) return fail(WIN_ERROR_DIR_NOT_EMPTY);
        // A Linux link holds no data: a file that has some cannot become one.
        if (!f->directory && st.st_size != 0) return fail(WIN_ERROR_NOT_SUPPORTED);
    }
    std::string text;
    if (uint32_t e = parse_link_buffer(in, total, kind, text)) return fail(e);
    const std::string temp = f->native + ".tervalo-link";
    ::unlink(temp.c_str());
    if (::symlink(text.c_str(), temp.c_str()) != 0) return fail_errno(errno);
    if (f->directory && !f->link && ::rmdir(f->native.c_str()) != 0) {
        const int e = errno;
        ::unlink(temp.c_str());
        return fail_errno(e);
    }
    if (::rename(temp.c_str(), f->native.c_str()) != 0) {
        const int e = errno;
        ::unlink(temp.c_str());
        return fail_errno(e);
    }
    f->link = true;
    reopen(f);
    return succeed();
}

bool get_reparse(posix_file* f, unsigned char* out, uint32_t out_size, uint32_t* returned) {
    struct stat st;
    if (::lstat(f->native.c_str(), &st) != 0) return fail_errno(errno);
    std::string data;
    if (S_ISLNK(st.st_mode)) {
        link_kind kind;
        std::string target;
        bool relative = false;
        if (!read_link_object(f->native, kind, &target, &relative)) return fail(WIN_ERROR_NOT_A_REPARSE_POINT);
        data = link_buffer(kind, target, relative);
    } else if (!read_reparse_xattr(f->native, data)) {
        return fail(WIN_ERROR_NOT_A_REPARSE_POINT);
    }
    if (!out || out_size < kHeader) return fail(WIN_ERROR_INSUFFICIENT_BUFFER);
    const uint32_t n = uint32_t(std::min<size_t>(data.size(), out_size));
    std::memcpy(out, data.data(), n);
    if (returned) *returned = n;
    if (n < data.size()) return fail(WIN_ERROR_MORE_DATA);
    return succeed();
}

bool delete_reparse(posix_file* f, const unsigned char* in, uint32_t in_size) {
    if (!in || in_size < kHeader) return fail(WIN_ERROR_INVALID_REPARSE_DATA);
    if (le16(in + 4) != 0) return fail(WIN_ERROR_INVALID_REPARSE_DATA);
    const uint32_t tag = le32(in);
    struct stat st;
    if (::lstat(f->native.c_str(), &st) != 0) return fail_errno(errno);
    const uint32_t current = object_reparse_tag(f->native, st);
    if (!current) return fail(WIN_ERROR_NOT_A_REPARSE_POINT);
    if (current != tag) return fail(WIN_ERROR_REPARSE_TAG_MISMATCH);
    if (!S_ISLNK(st.st_mode)) {
        if (uint32_t e = remove_reparse_xattr(f->native)) return fail(e);
        return succeed();
    }
    // The link becomes the empty file or directory it was made from.
    link_kind kind;
    read_link_object(f->native, kind, nullptr, nullptr);
    if (::unlink(f->native.c_str()) != 0) return fail_errno(errno);
    const bool directory = kind != link_kind::file_symlink;
    if (directory) {
        if (::mkdir(f->native.c_str(), 0777) != 0) return fail_errno(errno);
    } else {
        const int fd = ::open(f->native.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
        if (fd < 0) return fail_errno(errno);
        ::close(fd);
    }
    f->link = false;
    f->directory = directory;
    reopen(f);
    return succeed();
}

}  // namespace

std::string windows_form_of_native(const std::string& native) {
    std::string best_folder;
    char best_letter = 0;
    for (char letter = 'A'; letter <= 'Y'; ++letter) {
        const char root[4] = {letter, ':', '\\', 0};
        std::string folder;
        if (!windows_to_native_path(root, folder)) continue;
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        if (folder.size() <= best_folder.size()) continue;
        if (native.compare(0, folder.size(), folder) == 0 &&
            (native.size() == folder.size() || native[folder.size()] == '/')) {
            best_folder = folder;
            best_letter = letter;
        }
    }
    if (!best_letter) return native_to_windows_path(native);
    std::string out = std::string(1, best_letter) + ":";
    for (size_t i = best_folder.size(); i < native.size(); ++i) out.push_back(native[i] == '/' ? '\\' : native[i]);
    if (out.size() == 2) out.push_back('\\');
    return out;
}

bool read_link_object(const std::string& native, link_kind& kind, std::string* target, bool* relative) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(native.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return false;
    size_t len = size_t(n);
    // A junction's target is absolute: a relative text ending in "/." is a
    // link a client made, and must not read back as a junction.
    if (len >= 2 && buf[0] == '/' && buf[len - 2] == '/' && buf[len - 1] == '.') {
        kind = link_kind::junction;
        len = len == 2 ? 1 : len - 2;  // "/." is a junction to the root
    } else if (len > 1 && buf[len - 1] == '/') {
        kind = link_kind::directory_symlink;
        --len;
    } else {
        struct stat st;  // a link made on Linux: a directory link when it leads to one
        kind = (::stat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) ? link_kind::directory_symlink
                                                                           : link_kind::file_symlink;
    }
    std::string text(buf, len);
    const bool rel = text[0] != '/';
    if (relative) *relative = rel && kind != link_kind::junction;
    if (target) {
        if (rel) {
            for (char& c : text)
                if (c == '/') c = '\\';
            *target = text;
        } else {
            *target = windows_form_of_native(text);
        }
    }
    return true;
}

bool wp_device_io_control(wp_handle h, uint32_t code, const void* in, uint32_t in_size, void* out,
                          uint32_t out_size, uint32_t* returned) {
    if (returned) *returned = 0;
    posix_file* f = lookup_handle(h);
    if (!f) return false;
    const auto* input = static_cast<const unsigned char*>(in);
    switch (code) {
    case WP_FSCTL_GET_REPARSE_POINT: return get_reparse(f, static_cast<unsigned char*>(out), out_size, returned);
    case WP_FSCTL_SET_REPARSE_POINT:
        if (!(f->access & (WP_FILE_WRITE_DATA | WP_FILE_WRITE_ATTRIBUTES))) return fail(WIN_ERROR_ACCESS_DENIED);
        return set_reparse(f, input, in_size);
    case WP_FSCTL_DELETE_REPARSE_POINT:
        if (!(f->access & (WP_FILE_WRITE_DATA | WP_FILE_WRITE_ATTRIBUTES))) return fail(WIN_ERROR_ACCESS_DENIED);
        return delete_reparse(f, input, in_size);
    default: return fail(WIN_ERROR_INVALID_FUNCTION);
    }
}
