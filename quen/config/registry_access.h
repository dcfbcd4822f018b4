// The server's registry helpers. A section is "quen" (the server key
// HKEY_LOCAL_MACHINE\Software\Tervalo\quen) or the name of a subkey of it.
#pragma once
#include <cstdint>

inline constexpr const char* kServerKey = "Software\\Tervalo\\quen";
inline constexpr const char* kServerSection = "quen";

// Copies the value into buf (NUL-terminated) and returns the string length,
// or the data length for binary data; when the value cannot be read, copies
// `fallback` (may be null) and returns its length.
unsigned config_read_string(const char* section, const char* value, const char* fallback, char* buf,
                            unsigned size);
// Reads a decimal number stored as a string (at most 63 characters, "%d"
// rules: leading blanks and a sign allowed, text after the digits ignored).
// Result: a number was read; otherwise `out` is left alone.
bool config_read_number(const char* section, const char* value, int32_t& out);
// Stores text as a string value (length < 0) or as binary data of `length`
// bytes; null text deletes the value. Result: success.
bool config_write_string(const char* section, const char* value, const void* text, int length);
// Stores the decimal text, or deletes the value when it equals `fallback`.
bool config_write_number(const char* section, const char* value, int32_t number, int32_t fallback);

// Explorer shell commands under HKEY_CLASSES_ROOT: the verb key "class\verb"
// with its menu text, an empty "HasLUAShield" and "class\verb\command".
bool shell_command_register(const char* cls, const char* verb, const char* menu_text, const char* command);
bool shell_command_remove(const char* cls, const char* verb);

// Parses "%d" text as the settings do. Result: a number was found.
bool parse_decimal(const char* text, int32_t& out);
