// The NFS and Server pages of the configuration sheet: each control and
// the field of the 180-byte settings record it edits, with the rules by
// which a control is read back into the record.
#pragma once
#include <cstdint>
#include <string>

enum settings_field_kind : uint32_t {
    SETTING_CHECK,      // word != 0; stores 1 or 0
    SETTING_BIT,        // one bit of a word
    SETTING_PORT,       // 16-bit field; decimal text, not a number: the default
    SETTING_CLAMPED,    // word; decimal text clamped to [low, high], not a number: unchanged
    SETTING_NFS2WRITE,  // checked when 0; stores 0 checked, 2 not
    SETTING_NFS3WRITE,  // checked when the low four bits are 2
    SETTING_SHOWN,      // a check box only shown (never stored)
};

struct settings_field {
    int id;                     // the dialog control
    settings_field_kind kind;
    uint32_t offset;            // in the record
    uint32_t a = 0, b = 0;      // BIT: the bit; PORT: the default; CLAMPED: low and high
};

const settings_field* settings_nfs_fields(uint32_t* count);
const settings_field* settings_server_fields(uint32_t* count);
// Offsets the pages use besides their fields.
inline constexpr uint32_t kSettingsHardLinks = 52;
inline constexpr uint32_t kSettingsFilterExports = 120;
inline constexpr uint32_t kSettingsFileIdsAvailable = 176;
inline constexpr uint32_t kSettingsMountPort = 26;
inline constexpr size_t kSettingsEditMax = 31;   // characters of a page's edit fields

bool settings_checked(const settings_field& f, const uint8_t* record);
std::string settings_text(const settings_field& f, const uint8_t* record);   // decimal
// Reads a control back into the record.
void settings_store(const settings_field& f, bool checked, const std::string& text, uint8_t* record);

// The other box of an either-or pair (versions, transports), 0 for none:
// unchecking the last of the two checks the other.
int settings_partner(int id);

// Whether a control is shown, and whether it may be changed, for the
// record, the Windows major version, administrator mode and whether the
// record could be read.
bool settings_shown(int id, const uint8_t* record, uint32_t windows_major);
bool settings_enabled(int id, const uint8_t* record, bool admin, bool read_ok);

uint32_t settings_word(const uint8_t* record, uint32_t offset);
void settings_put_word(uint8_t* record, uint32_t offset, uint32_t value);
