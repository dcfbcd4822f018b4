#include "quen/config/registry_access.h"

#include "platform/registry.h"
#include "platform/win_error.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string section_key(const char* section) {
    if (!section || std::strcmp(section, kServerSection) == 0) return kServerKey;
    return std::string(kServerKey) + "\\" + section;
}

unsigned copy_fallback(const char* fallback, char* buf, unsigned size) {
    if (!buf || size == 0) return 0;
    const size_t n = fallback ? std::strlen(fallback) : 0;
    const unsigned len = unsigned(n < size ? n : size - 1);
    if (len) std::memcpy(buf, fallback, len);
    buf[len] = 0;
    return len;
}

std::string verb_key(const char* cls, const char* verb) { return std::string(cls) + "\\" + verb; }

}  // namespace

bool parse_decimal(const char* text, int32_t& out) {
    if (!text) return false;
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p < '0' || *p > '9') return false;
    int64_t v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        v = v * 10 + (*p - '0');
        if (v > int64_t(INT32_MAX) + 1) return false;   // out of range: not a usable number
    }
    if (negative) v = -v;
    if (v > INT32_MAX || v < INT32_MIN) return false;
    out = int32_t(v);
    return true;
}

unsigned config_read_string(const char* section, const char* value, const char* fallback, char* buf,
                            unsigned size) {
    if (!buf || size == 0) return 0;
    uint32_t type = 0, bytes = size;
    const std::string key = section_key(section);
    if (reg_query_value(REG_LOCAL_MACHINE, key.c_str(), value, &type, buf, &bytes) != WIN_ERROR_SUCCESS)
        return copy_fallback(fallback, buf, size);
    if (type == REG_VALUE_SZ) {
        buf[bytes ? bytes - 1 : 0] = 0;
        return unsigned(std::strlen(buf));
    }
    if (bytes < size) buf[bytes] = 0;
    return bytes;
}

bool config_read_number(const char* section, const char* value, int32_t& out) {
    char text[64];
    uint32_t type = 0, bytes = sizeof text;
    const std::string key = section_key(section);
    if (reg_query_value(REG_LOCAL_MACHINE, key.c_str(), value, &type, text, &bytes) != WIN_ERROR_SUCCESS ||
        type != REG_VALUE_SZ || bytes == 0)
        return false;
    text[bytes - 1] = 0;
    return parse_decimal(text, out);
}

bool config_write_string(const char* section, const char* value, const void* text, int length) {
    const std::string key = section_key(section);
    if (!text) {
        const uint32_t rc = reg_delete_value(REG_LOCAL_MACHINE, key.c_str(), value);
        return rc == WIN_ERROR_SUCCESS || rc == WIN_ERROR_FILE_NOT_FOUND;
    }
    if (length < 0) {
        const char* s = static_cast<const char*>(text);
        return reg_set_value(REG_LOCAL_MACHINE, key.c_str(), value, REG_VALUE_SZ, s, uint32_t(std::strlen(s) + 1)) ==
               WIN_ERROR_SUCCESS;
    }
    return reg_set_value(REG_LOCAL_MACHINE, key.c_str(), value, REG_VALUE_BINARY, text, uint32_t(length)) ==
           WIN_ERROR_SUCCESS;
}

bool config_write_number(const char* section, const char* value, int32_t number, int32_t fallback) {
    if (number == fallback) return config_write_string(section, value, nullptr, -1);
    char text[16];
    std::snprintf(text, sizeof text, "%d", int(number));
    return config_write_string(section, value, text, -1);
}

bool shell_command_register(const char* cls, const char* verb, const char* menu_text, const char* command) {
    const std::string key = verb_key(cls, verb);
    const std::string command_key = key + "\\command";
    auto set = [](const std::string& k, const char* name, const char* text) {
        return reg_set_value(REG_CLASSES_ROOT, k.c_str(), name, REG_VALUE_SZ, text, uint32_t(std::strlen(text) + 1)) ==
               WIN_ERROR_SUCCESS;
    };
    return set(key, "", menu_text) && set(key, "HasLUAShield", "") && set(command_key, "", command);
}

bool shell_command_remove(const char* cls, const char* verb) {
    const std::string key = verb_key(cls, verb);
    const std::string command_key = key + "\\command";
    auto gone = [](uint32_t rc) { return rc == WIN_ERROR_SUCCESS || rc == WIN_ERROR_FILE_NOT_FOUND; };
    bool ok = gone(reg_delete_value(REG_CLASSES_ROOT, command_key.c_str(), ""));
    ok = gone(reg_delete_value(REG_CLASSES_ROOT, key.c_str(), "HasLUAShield")) && ok;
    ok = gone(reg_delete_key(REG_CLASSES_ROOT, command_key.c_str())) && ok;
    ok = gone(reg_delete_value(REG_CLASSES_ROOT, key.c_str(), "")) && ok;
    ok = gone(reg_delete_key(REG_CLASSES_ROOT, key.c_str())) && ok;
    return ok;
}
