#include "lumeno/core/settings_pages.h"

#include "control_client/control_protocol.h"
#include "lumeno/core/panel_dialog_ids.h"

#include <cstdlib>

namespace {

// Offsets in the settings record.
enum : uint32_t {
    kPortMapper = 4, kUdp = 8, kTcp = 12, kNlm = 20, kPort = 24, kMountPort = 26, kNlmPort = 28, kVersion2 = 32,
    kVersion3 = 36, kThreads = 48, kHardLinks = 52, kSoftLinks = 56, kDatasize = 60, kNfs2Write = 76,
    kNfs3Write = 80, kCreateAccess = 92, kInodeReset = 100, kSetExec = 108, kWebNfs = 112, kMapRoot = 116,
    kLowercase = 128, kDirCount = 148, kFileId = 152, kSaveAttr = 160,
};

const settings_field kNfsFields[] = {
    {IDC_NFS_V2, SETTING_CHECK, kVersion2},
    {IDC_NFS_V3, SETTING_CHECK, kVersion3},
    {IDC_NFS_UDP, SETTING_CHECK, kUdp},
    {IDC_NFS_TCP, SETTING_CHECK, kTcp},
    {IDC_NFS_PORT, SETTING_PORT, kPort, 2049},
    {IDC_MOUNT_PORT, SETTING_PORT, kMountPort, 1058},
    {IDC_NFS_WEBNFS, SETTING_CHECK, kWebNfs},
    {IDC_NFS_NLM, SETTING_CHECK, kNlm},
    {IDC_NLM_PORT, SETTING_PORT, kNlmPort, 4045},
    {IDC_NFS_PORTMAP, SETTING_SHOWN, kPortMapper},
    {IDC_THREADS, SETTING_CLAMPED, kThreads, 1, 32},
    {IDC_BLOCKSIZE, SETTING_CLAMPED, kDatasize, 256, 262144},
    {IDC_INODE_RESET, SETTING_CHECK, kInodeReset},
};

const settings_field kServerFields[] = {
    {IDC_SRV_NFS2WRITE, SETTING_NFS2WRITE, kNfs2Write},
    {IDC_SRV_NFS3WRITE, SETTING_NFS3WRITE, kNfs3Write},
    {IDC_SRV_LOWERCASE, SETTING_CHECK, kLowercase},
    {IDC_SRV_MAPROOT, SETTING_CHECK, kMapRoot},
    {IDC_SRV_DIRCOUNT, SETTING_CHECK, kDirCount},
    {IDC_SRV_FILEID, SETTING_CHECK, kFileId},
    {IDC_SRV_SAVEATTR, SETTING_CHECK, kSaveAttr},
    {IDC_SRV_SETEXEC, SETTING_CHECK, kSetExec},
    {IDC_SRV_CREATEACCESS, SETTING_CHECK, kCreateAccess},
    {IDC_SRV_SOFT, SETTING_BIT, kSoftLinks, 1},
    {IDC_SRV_REPARSE, SETTING_BIT, kSoftLinks, 2},
    {IDC_SRV_NTFS, SETTING_BIT, kHardLinks, 1},
    {IDC_SRV_HARD, SETTING_BIT, kHardLinks, 2},
};

bool is_port(const settings_field& f) { return f.kind == SETTING_PORT; }

uint16_t get16(const uint8_t* r, uint32_t offset) { return control_get16(r + offset); }
void put16(uint8_t* r, uint32_t offset, uint16_t v) {
    r[offset] = uint8_t(v);
    r[offset + 1] = uint8_t(v >> 8);
}

// An unsigned decimal number that fills the text (blanks around it allowed).
bool decimal(const std::string& text, unsigned long long* out) {
    const char* s = text.c_str();
    while (*s == ' ' || *s == '\t') ++s;
    if (*s < '0' || *s > '9') return false;
    char* end = nullptr;
    *out = std::strtoull(s, &end, 10);
    while (*end == ' ' || *end == '\t') ++end;
    return *end == '\0';
}

}  // namespace

const settings_field* settings_nfs_fields(uint32_t* count) {
    *count = sizeof kNfsFields / sizeof kNfsFields[0];
    return kNfsFields;
}
const settings_field* settings_server_fields(uint32_t* count) {
    *count = sizeof kServerFields / sizeof kServerFields[0];
    return kServerFields;
}

uint32_t settings_word(const uint8_t* record, uint32_t offset) { return control_get32(record + offset); }
void settings_put_word(uint8_t* record, uint32_t offset, uint32_t value) { control_put32(record + offset, value); }

bool settings_checked(const settings_field& f, const uint8_t* r) {
    const uint32_t w = is_port(f) ? 0 : settings_word(r, f.offset);
    switch (f.kind) {
    case SETTING_CHECK:
    case SETTING_SHOWN: return w != 0;
    case SETTING_BIT: return (w & f.a) != 0;
    case SETTING_NFS2WRITE: return w == 0;
    case SETTING_NFS3WRITE: return (w & 0xF) == 2;
    default: return false;
    }
}

std::string settings_text(const settings_field& f, const uint8_t* r) {
    return std::to_string(is_port(f) ? get16(r, f.offset) : settings_word(r, f.offset));
}

void settings_store(const settings_field& f, bool checked, const std::string& text, uint8_t* r) {
    const uint32_t w = is_port(f) ? 0 : settings_word(r, f.offset);
    unsigned long long n = 0;
    switch (f.kind) {
    case SETTING_CHECK: settings_put_word(r, f.offset, checked ? 1 : 0); break;
    case SETTING_BIT: settings_put_word(r, f.offset, checked ? (w | f.a) : (w & ~f.a)); break;
    case SETTING_NFS2WRITE: settings_put_word(r, f.offset, checked ? 0 : 2); break;
    case SETTING_NFS3WRITE: settings_put_word(r, f.offset, (w & ~0xFu) | (checked ? 2u : 0u)); break;
    case SETTING_PORT: put16(r, f.offset, decimal(text, &n) ? uint16_t(n) : uint16_t(f.a)); break;
    case SETTING_CLAMPED:
        if (decimal(text, &n))
            settings_put_word(r, f.offset, uint32_t(n < f.a ? f.a : n > f.b ? f.b : n));
        break;
    case SETTING_SHOWN: break;
    }
}

int settings_partner(int id) {
    switch (id) {
    case IDC_NFS_V2: return IDC_NFS_V3;
    case IDC_NFS_V3: return IDC_NFS_V2;
    case IDC_NFS_UDP: return IDC_NFS_TCP;
    case IDC_NFS_TCP: return IDC_NFS_UDP;
    default: return 0;
    }
}

bool settings_shown(int id, const uint8_t* record, uint32_t windows_major) {
    if (id == IDC_SRV_FILEID) return windows_major >= 6;
    // The copy emulation is offered only to those who already use it.
    if (id == IDC_SRV_HARD) return (settings_word(record, kHardLinks) & 2) != 0;
    return true;
}

bool settings_enabled(int id, const uint8_t* record, bool admin, bool read_ok) {
    if (id == IDC_NFS_PORTMAP) return false;   // shows the server's state only
    if (!admin || !read_ok) return false;
    if (id == IDC_SRV_FILEID) return settings_word(record, kSettingsFileIdsAvailable) != 0;
    return true;
}
