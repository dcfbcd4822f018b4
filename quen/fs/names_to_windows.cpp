// Client name -> Windows name.
#include "platform/codepage.h"
#include "quen/config/char_class.h"
#include "quen/fs/names.h"

#include <cstring>

namespace {

struct name_buffer {
    uint8_t bytes[kNameSize];
    size_t len;
};

// Replaces every class-0 byte by the export's or the configured substitute;
// a byte with neither has no name on this export.
uint32_t substitute(const mount_context& ctx, const name_tables& t, name_buffer& n) {
    for (size_t i = 0; i < n.len; ++i) {
        uint8_t c = n.bytes[i];
        if (char_class(c) != CHAR_INVALID) continue;
        uint8_t s = 0;
        if (c == ':') s = ctx.sub_colon;
        if (c == '?') s = ctx.sub_question;
        if (s == 0) s = t.substitute[c];
        if (s == 0) return NAME_NOENT;
        n.bytes[i] = s;
    }
    return NAME_OK;
}

bool escapes_next(const name_tables& t, uint8_t c) { return t.forward[c] != 0 || t.reverse[c] != 0; }

// Writes the escaped form of in into out (capacity kNameSize - 1 bytes).
uint32_t escape(const mount_context& ctx, const name_tables& t, const name_buffer& in, name_buffer& out) {
    constexpr size_t cap = kNameSize - 1;
    const uint8_t e = t.escape;
    size_t o = 0;
    auto put = [&](uint8_t c) {
        if (o >= cap) return false;
        out.bytes[o++] = c;
        return true;
    };
    size_t i = 0;
    while (i < in.len) {
        const uint8_t c = in.bytes[i];
        if (ctx.name_encoding == NAME_ENCODING_ASCII && c >= 128) return NAME_TOOLONG;
        if (c == e) {
            // A run of escape characters before something the reading side
            // would decode is doubled, so that it reads back as itself.
            size_t j = i;
            while (j < in.len && in.bytes[j] == e) ++j;
            const bool doubled = j < in.len && escapes_next(t, in.bytes[j]);
            for (size_t k = 0; k < (j - i) * (doubled ? 2 : 1); ++k)
                if (!put(e)) return NAME_TOOLONG;
            i = j;
            continue;
        }
        if (t.forward[c]) {
            if (!put(e) || !put(t.forward[c])) return NAME_TOOLONG;
        } else if (char_class(c) == CHAR_INVALID) {
            // Controls, NUL and '/' have no Windows form; passing them on
            // would let a name act as a path ("a/../../x") or be cut short.
            return NAME_NOENT;
        } else if (!put(c)) {
            return NAME_TOOLONG;
        }
        ++i;
    }
    // Windows drops trailing dots and spaces, which would make "x." the name
    // "x" and ".. " the parent directory; a final escape character keeps them.
    size_t k = o;
    while (k > 0 && out.bytes[k - 1] == e) --k;
    if (k > 0 && (out.bytes[k - 1] == '.' || out.bytes[k - 1] == ' ') && !put(e)) return NAME_TOOLONG;
    // A device name gets an escape character in front. Names that already
    // begin with escape characters before a device name get one more, so
    // that reading drops exactly the one added here.
    size_t lead = 0;
    while (lead < o && out.bytes[lead] == e) ++lead;
    if (names_is_reserved_device(reinterpret_cast<const char*>(out.bytes + lead), o - lead)) {
        if (o >= cap) return NAME_TOOLONG;
        std::memmove(out.bytes + 1, out.bytes, o);
        out.bytes[0] = e;
        ++o;
    }
    out.len = o;
    return NAME_OK;
}

// The UTF-16 units of a UTF-8 name, which is what volumes count: one per
// character, two for one beyond the basic plane.
size_t utf16_units(const name_buffer& n) {
    size_t units = 0;
    for (size_t i = 0; i < n.len; ++i) {
        const uint8_t c = n.bytes[i];
        if ((c & 0xC0) != 0x80) units += c >= 0xF0 ? 2 : 1;
    }
    return units;
}

// Volumes with short names only, and the length limit of the others: a
// name as long as the volume holds passes.
uint32_t check_volume_limits(const mount_context& ctx, const name_buffer& n) {
    const size_t m = ctx.max_component_length;
    if (m > 12) return utf16_units(n) <= m ? NAME_OK : NAME_TOOLONG;
    const uint8_t* dot = static_cast<const uint8_t*>(std::memchr(n.bytes, '.', n.len));
    const size_t base = dot ? size_t(dot - n.bytes) : n.len;
    const size_t ext = dot ? n.len - base - 1 : 0;
    if (base > 8 || ext > 3) return NAME_TOOLONG;
    for (size_t i = 0; i < n.len; ++i)
        if (char_class(n.bytes[i]) != CHAR_SHORT_NAME) return NAME_NOENT;
    return NAME_OK;
}

}  // namespace

uint32_t nfs_name_to_windows(const mount_context& ctx, char* path, const char* name, size_t name_len,
                             size_t* name_pos) {
    const name_tables& t = g_name_tables;
    if ((name_len == 1 && name[0] == '.') || (name_len == 2 && name[0] == '.' && name[1] == '.'))
        return NAME_ISDIR;
    // An empty name would stand for the directory itself.
    if (name_len == 0) return NAME_NOENT;
    if (name_len >= kNameSize) return NAME_TOOLONG;
    name_buffer in;
    std::memcpy(in.bytes, name, name_len);
    in.len = name_len;
    if (std::memchr(in.bytes, 0, in.len)) return NAME_NOENT;

    if (ctx.name_encoding == NAME_ENCODING_CODE_PAGE) {
        in.bytes[in.len] = 0;
        in.len = codepage_to_utf8(t.code_page, reinterpret_cast<char*>(in.bytes), kNameSize);
        if (in.len == 0) return NAME_NOENT;
    }
    if (ctx.flags & MOUNT_FLAG_SUB) {
        if (uint32_t s = substitute(ctx, t, in)) return s;
    }
    name_buffer out;
    if (uint32_t s = escape(ctx, t, in, out)) return s;
    if (uint32_t s = check_volume_limits(ctx, out)) return s;

    const size_t path_len = strnlen(path, kNamePathSize);
    if (path_len + out.len + 3 >= kNamePathSize) return NAME_TOOLONG;
    size_t pos = path_len;
    if (pos == 0 || path[pos - 1] != '\\') path[pos++] = '\\';
    std::memcpy(path + pos, out.bytes, out.len);
    path[pos + out.len] = 0;
    if (name_pos) *name_pos = pos;
    return NAME_OK;
}
