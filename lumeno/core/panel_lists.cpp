#include "lumeno/core/panel_lists.h"

#include "lumeno/core/panel_texts.h"
#include "platform/codepage.h"

#include <cstdio>
#include <cstring>
#include <unordered_set>

namespace {

// Offsets in the export image.
enum : uint32_t {
    kExportSelf = 0, kExportNext = 4, kExportAlias = 12, kExportOptions = 24, kExportFlags = 28, kExportUmask = 32,
    kExportEncoding = 36, kExportUid = 40, kExportUidGid = 44, kExportMaprootUid = 48, kExportMaprootGid = 52,
    kExportMapallUid = 56, kExportMapallGid = 60, kExportAddressCount = 64, kExportSubFirst = 96,
    kExportSubSecond = 97,
};
// Offsets in the mount image.
enum : uint32_t { kMountSelf = 0, kMountNext = 4, kMountHost = 8, kMountAddress = 520, kMountOrigin = 552 };
constexpr uint32_t kMountHostSize = 512;
constexpr uint32_t kEnumerationGuard = 100000;   // rows at most, whatever the server answers

uint32_t word(const uint8_t* p, uint32_t offset) { return control_get32(p + offset); }

// The next reference of an enumeration, 0 at its end: also when it names an
// entry listed already (a list that runs in a circle).
uint32_t next_ref(std::unordered_set<uint32_t>& seen, uint32_t self, uint32_t next) {
    seen.insert(self);
    return seen.count(next) ? 0 : next;
}

// Appends a blank and the word. (Built by appending: GCC 12 warns falsely
// about overlaps inside a string built with operator+.)
void add_word(std::string& s, const std::string& w) {
    s += ' ';
    s += w;
}

// Flag words in the exports file's order; "-at" stands for both of its bits.
struct option_word {
    uint32_t bits;
    const char* text;
};
const option_word kFlagWords[] = {
    {0x1, "-readonly"}, {0x2, "-lowercase"}, {0x8000, "-dc"}, {0x100, "-exec"}, {0x4000, "-nosdc"},
    {0x80000, "-rp"},   {0x100000, "-nd"},   {0x10000, "-ci"}, {0x2000, "-i32"},
};
const option_word kEntryWords[] = {{0x1, "-alldirs"}, {0x4, "-hide"}, {0x2, "-public"}, {0x8, "-range"}};

std::string format(const char* f, unsigned a, unsigned b = 0) {
    char buf[64];
    std::snprintf(buf, sizeof buf, f, a, b);
    return buf;
}
std::string format_ids(const char* one, const char* two, const uint8_t* image, uint32_t first, uint32_t second,
                       bool with_second) {
    char buf[64];
    if (with_second)
        std::snprintf(buf, sizeof buf, two, int(word(image, first)), int(word(image, second)));
    else
        std::snprintf(buf, sizeof buf, one, int(word(image, first)));
    return buf;
}

// One text request about an entry. Result as control_request_result; out
// holds the text (empty unless 1).
int fetch_text(control_client& c, uint32_t code, uint32_t ref, size_t limit, std::string* out) {
    uint8_t data[4];
    control_put32(data, ref);
    char text[kControlDataMax + 1] = {};
    const int rc = control_request_result(c, code, 4, data, 1, text, kControlDataMax);
    out->clear();
    if (rc > 0) *out = panel_ansi(text, limit);
    return rc;
}

}  // namespace

std::string panel_dotted(const uint8_t* a) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
    return buf;
}

std::string panel_client_addresses(const uint8_t* addresses, uint32_t count) {
    std::string s;
    for (uint32_t i = 0; i < count; ++i) add_word(s, panel_dotted(addresses + 4 * i));
    return s;
}

std::string panel_export_options(const uint8_t* image, const std::string& name) {
    std::string s;
    if (!name.empty()) {
        add_word(s, "-name:");
        s.append(name, 1, std::string::npos);
    }
    static const char* const kEncodings[] = {"-a", "-w", "-u"};
    const uint32_t encoding = word(image, kExportEncoding);
    if (encoding < 3) add_word(s, kEncodings[encoding]);
    uint32_t flags = word(image, kExportFlags);
    uint32_t options = word(image, kExportOptions);
    for (const option_word& w : kFlagWords)
        if (flags & w.bits) add_word(s, w.text);
    if ((flags & 0x60000) == 0x60000) add_word(s, "-at");
    else if (flags & 0x20000) add_word(s, "-sa");
    else if (flags & 0x40000) add_word(s, "-cs");
    if (flags & 0x400) add_word(s, format("-umask:%3.3o", word(image, kExportUmask)));
    if (flags & 0x20) {
        const unsigned second = image[kExportSubSecond];
        add_word(s, second ? format("-sub:%u,%u", image[kExportSubFirst], second) : format("-sub:%u", image[kExportSubFirst]));
    }
    if (flags & 0x8)
        add_word(s, format_ids("-maproot:%d", "-maproot:%d:%d", image, kExportMaprootUid, kExportMaprootGid,
                               word(image, kExportMaprootGid) != 0));
    if (flags & (0x10 | 0x40))
        add_word(s, format_ids("-mapall:%d", "-mapall:%d:%d", image, kExportMapallUid, kExportMapallGid, flags & 0x40));
    if (flags & (0x800 | 0x1000))
        add_word(s, format_ids("-uid:%d", "-uid:%d:%d", image, kExportUid, kExportUidGid, flags & 0x1000));
    for (const option_word& w : kEntryWords)
        if (options & w.bits) add_word(s, w.text);
    return s;
}

std::string panel_mount_type(uint32_t origin) {
    const uint32_t protocol = origin & 0xFF;
    std::string s = protocol == 6 ? "tcp" : protocol == 17 ? "udp" : "";
    if (origin & 0x100) s += " public";
    if (origin & 0x200) s += " auto";
    return s;
}

std::string panel_ansi(const char* utf8, size_t limit) {
    if (limit == 0) return "";
    std::string buf(limit, '\0');
    const size_t n = strnlen(utf8, limit - 1);
    std::memcpy(buf.data(), utf8, n);
    // A text cut inside a character would not convert: it is shown as it came.
    if (n > 0) utf8_to_codepage(0, buf.data(), buf.size());
    buf.resize(std::strlen(buf.c_str()));
    return buf;
}

std::string panel_header(panel_view view, uint32_t entries, bool view_only) {
    std::string s;
    add_word(s, std::to_string(entries));
    add_word(s, panel_text(view == PANEL_VIEW_MOUNTS ? IDS_CLIENTS : IDS_ENTRIES));
    if (view_only) {
        s += "\t\t";
        s += panel_text(IDS_MODE);
    }
    return s;
}

namespace {

int refresh_exports(control_client& c, std::vector<panel_row>* rows) {
    uint32_t ref = 0;
    std::unordered_set<uint32_t> seen;
    for (uint32_t guard = 0; guard < kEnumerationGuard; ++guard) {
        uint8_t data[4], image[kControlExportImageSize];
        control_put32(data, ref);
        const int rc = control_request_result(c, CTL_GET_EXPORT, ref ? 4 : 0, data, kControlExportImageSize, image,
                                              sizeof image);
        if (rc <= 0) return rc;
        panel_row row;
        row.ref = word(image, kExportSelf);
        if (fetch_text(c, CTL_GET_EXPORT_FOLDER, row.ref, 4096, &row.text[0]) < 0) return -1;
        std::string name;
        if (word(image, kExportAlias) != 0 && fetch_text(c, CTL_GET_EXPORT_NAME, row.ref, 2048, &name) < 0) return -1;
        row.text[1] = panel_export_options(image, name);
        if (word(image, kExportAddressCount) != 0) {
            control_put32(data, row.ref);
            uint8_t addresses[kControlDataMax];
            const int n = control_request_result(c, CTL_GET_EXPORT_CLIENTS, 4, data, 4, addresses, sizeof addresses);
            if (n < 0) return -1;
            if (n > 0) row.text[2] = panel_client_addresses(addresses, control_get32(c.reply + 4) / 4);
        }
        rows->push_back(row);
        ref = next_ref(seen, row.ref, word(image, kExportNext));
        if (ref == 0) return 1;
    }
    return 1;
}

int refresh_mounts(control_client& c, bool resolve_names, std::vector<panel_row>* rows) {
    uint32_t ref = 0;
    std::unordered_set<uint32_t> seen;
    std::vector<uint8_t> entry(kControlDataMax + 1, 0);
    for (uint32_t guard = 0; guard < kEnumerationGuard; ++guard) {
        uint8_t data[4];
        control_put32(data, ref);
        std::fill(entry.begin(), entry.end(), 0);
        const int rc = control_request_result(c, CTL_GET_MOUNT, ref ? 4 : 0, data, kControlMountImageSize,
                                              entry.data(), kControlDataMax);
        if (rc <= 0) return rc;
        const uint8_t* e = entry.data();
        panel_row row;
        row.ref = word(e, kMountSelf);
        row.text[0] = panel_ansi(reinterpret_cast<const char*>(e + kControlMountPathOffset), 2048);
        row.text[1] = panel_mount_type(word(e, kMountOrigin));
        if (resolve_names) {
            const char* host = reinterpret_cast<const char*>(e + kMountHost);
            row.text[2].assign(host, strnlen(host, kMountHostSize));
        } else {
            row.text[2] = panel_dotted(e + kMountAddress);
        }
        rows->push_back(row);
        ref = next_ref(seen, row.ref, word(e, kMountNext));
        if (ref == 0) return 1;
    }
    return 1;
}

}  // namespace

int panel_list_refresh(control_client& c, panel_view view, bool resolve_names, bool view_only, panel_list* out) {
    out->rows.clear();
    const int rc = view == PANEL_VIEW_MOUNTS ? refresh_mounts(c, resolve_names, &out->rows)
                                             : refresh_exports(c, &out->rows);
    if (rc < 0) out->rows.clear();
    out->entries = uint32_t(out->rows.size());
    if (view == PANEL_VIEW_EXPORTS) out->rows.push_back(panel_row{});
    out->header = panel_header(view, out->entries, view_only);
    return rc < 0 ? -1 : int(out->rows.size());
}

int panel_remove_row(control_client& c, panel_view view, uint32_t ref) {
    if (view == PANEL_VIEW_EXPORTS && ref == 0) return 0;
    uint8_t data[4];
    control_put32(data, ref);
    const int rc = control_request(c, view == PANEL_VIEW_MOUNTS ? CTL_REMOVE_MOUNT : CTL_REMOVE_EXPORT, 4, data);
    return rc < 0 ? -1 : rc > 0 ? 1 : 0;
}
