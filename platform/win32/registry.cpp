// The Windows registry itself; names and string data cross as UTF-8.
#include "platform/registry.h"

#include "platform/utf16.h"
#include "platform/win_error.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace {

HKEY root_key(reg_root root) {
    switch (root) {
    case REG_LOCAL_MACHINE: return HKEY_LOCAL_MACHINE;
    case REG_CURRENT_USER: return HKEY_CURRENT_USER;
    case REG_CLASSES_ROOT: return HKEY_CLASSES_ROOT;
    }
    return nullptr;
}

bool wide(const char* s, std::u16string& out) {
    return utf8_to_utf16(s ? s : "", out);
}

const wchar_t* w(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

struct key_holder {
    HKEY key = nullptr;
    key_holder() = default;
    key_holder(const key_holder&) = delete;
    key_holder& operator=(const key_holder&) = delete;
    ~key_holder() {
        if (key) RegCloseKey(key);
    }
};

uint32_t open(reg_root root, const char* key, REGSAM access, key_holder& out) {
    std::u16string k;
    if (!root_key(root) || !wide(key, k)) return WIN_ERROR_INVALID_PARAMETER;
    return uint32_t(RegOpenKeyExW(root_key(root), w(k), 0, access, &out.key));
}

}  // namespace

uint32_t reg_create_key(reg_root root, const char* key) {
    std::u16string k;
    if (!root_key(root) || !wide(key, k)) return WIN_ERROR_INVALID_PARAMETER;
    key_holder h;
    return uint32_t(RegCreateKeyExW(root_key(root), w(k), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                    nullptr, &h.key, nullptr));
}

uint32_t reg_open_key(reg_root root, const char* key) {
    key_holder h;
    return open(root, key, KEY_READ, h);
}

uint32_t reg_query_value(reg_root root, const char* key, const char* name, uint32_t* type, void* data,
                         uint32_t* size) {
    if (!size) return WIN_ERROR_INVALID_PARAMETER;
    key_holder h;
    if (uint32_t rc = open(root, key, KEY_READ, h)) return rc;
    std::u16string n;
    if (!wide(name, n)) return WIN_ERROR_INVALID_PARAMETER;
    DWORD t = 0, bytes = 0;
    LONG rc = RegQueryValueExW(h.key, w(n), nullptr, &t, nullptr, &bytes);
    if (rc != ERROR_SUCCESS) return uint32_t(rc);
    std::string raw(bytes, '\0');
    rc = RegQueryValueExW(h.key, w(n), nullptr, &t, reinterpret_cast<BYTE*>(raw.data()), &bytes);
    if (rc != ERROR_SUCCESS) return uint32_t(rc);
    raw.resize(bytes);
    if (t == REG_SZ || t == REG_EXPAND_SZ) {
        // Stored as UTF-16; handed out as UTF-8 with one terminating NUL.
        std::u16string text(raw.size() / 2, u'\0');
        std::memcpy(text.data(), raw.data(), text.size() * 2);
        while (!text.empty() && text.back() == 0) text.pop_back();
        if (!utf16_to_utf8(text, raw)) return WIN_ERROR_INVALID_DATA;
        raw.push_back('\0');
        t = REG_SZ;
    }
    if (type) *type = t;
    const uint32_t capacity = *size;
    *size = uint32_t(raw.size());
    if (!data) return WIN_ERROR_SUCCESS;
    if (capacity < raw.size()) return WIN_ERROR_MORE_DATA;
    std::memcpy(data, raw.data(), raw.size());
    return WIN_ERROR_SUCCESS;
}

uint32_t reg_set_value(reg_root root, const char* key, const char* name, uint32_t type, const void* data,
                       uint32_t size) {
    if (size && !data) return WIN_ERROR_INVALID_PARAMETER;
    std::u16string k, n;
    if (!root_key(root) || !wide(key, k) || !wide(name, n)) return WIN_ERROR_INVALID_PARAMETER;
    key_holder h;
    LONG rc = RegCreateKeyExW(root_key(root), w(k), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                              &h.key, nullptr);
    if (rc != ERROR_SUCCESS) return uint32_t(rc);
    if (type == REG_VALUE_SZ) {
        const char* p = static_cast<const char*>(data);
        size_t len = size;
        while (len && p[len - 1] == 0) --len;
        std::u16string text;
        if (!utf8_to_utf16(std::string_view(p ? p : "", len), text)) return WIN_ERROR_INVALID_DATA;
        return uint32_t(RegSetValueExW(h.key, w(n), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                       DWORD((text.size() + 1) * 2)));
    }
    return uint32_t(RegSetValueExW(h.key, w(n), 0, type, static_cast<const BYTE*>(data), size));
}

uint32_t reg_delete_value(reg_root root, const char* key, const char* name) {
    key_holder h;
    if (uint32_t rc = open(root, key, KEY_SET_VALUE, h)) return rc;
    std::u16string n;
    if (!wide(name, n)) return WIN_ERROR_INVALID_PARAMETER;
    return uint32_t(RegDeleteValueW(h.key, w(n)));
}

uint32_t reg_delete_key(reg_root root, const char* key) {
    std::u16string k;
    if (!root_key(root) || !wide(key, k) || k.empty()) return WIN_ERROR_INVALID_PARAMETER;
    // RegDeleteKeyW refuses a key with subkeys.
    return uint32_t(RegDeleteKeyW(root_key(root), w(k)));
}
