// CTL_SHELL_MENU: the Explorer verb for folders, under the classes root.
#include "control_client/control_protocol.h"
#include "platform/registry.h"
#include "platform/win_error.h"
#include "quen/config/registry_access.h"
#include "quen/control/control_files.h"

#include <cstring>
#include <string>

namespace {

// The only parents the panel uses; nothing else under the classes root is touched.
bool parent_acceptable(const char* key) {
    return !std::strcmp(key, "Directory\\shell") || !std::strcmp(key, "Directory\\Background\\shell");
}

// The text of `length` bytes at p, whose last byte and no other is its NUL.
const char* text_of(const uint8_t* p, uint32_t length) {
    if (length == 0) return nullptr;
    const char* t = reinterpret_cast<const char*>(p);
    return std::memchr(t, 0, length) == t + length - 1 ? t : nullptr;
}

bool set_text(const std::string& key, const char* name, const char* text) {
    return reg_set_value(REG_CLASSES_ROOT, key.c_str(), name, REG_VALUE_SZ, text, uint32_t(std::strlen(text) + 1)) ==
           WIN_ERROR_SUCCESS;
}

}  // namespace

uint32_t control_shell_menu(control_session&, const control_request& r, uint8_t* reply) {
    control_put32(reply, CTL_SHELL_MENU);
    if (r.length < 8) return 4;
    uint32_t lengths[4];
    uint64_t total = 8;
    for (int i = 0; i < 4; ++i) total += lengths[i] = control_get16(r.data + 2 * i);
    if (total > r.length) return 4;
    const uint8_t* p = r.data + 8;
    const char* texts[4];
    for (int i = 0; i < 4; ++i) {
        texts[i] = text_of(p, lengths[i]);
        if (lengths[i] && !texts[i]) return 4;
        p += lengths[i];
    }
    const char* parent = texts[0];
    const char* verb = texts[1];
    if (!parent || !verb || !parent_acceptable(parent) || !verb[0] || std::strchr(verb, '\\')) return 4;
    const std::string key = std::string(parent) + "\\" + verb;
    if (texts[2]) {
        // Each step that fails is skipped: the reply is the same.
        set_text(key, "", texts[2]);
        set_text(key, "HasLUAShield", "");
        if (texts[3]) set_text(key + "\\command", "", texts[3]);
    } else {
        shell_command_remove(parent, verb);
    }
    return control_reply(reply, 1, 0);
}
