// The registry: keys and values under the three roots the programs use.
// Keys and value names are UTF-8 with backslash separators; the empty value
// name is the key's default value. Results are Win32 error numbers
// (platform/win_error.h). String data (REG_VALUE_SZ) is UTF-8 and its size
// counts the terminating NUL, as Win32 counts it.
#pragma once
#include <cstdint>

enum reg_root : uint32_t {
    REG_LOCAL_MACHINE,
    REG_CURRENT_USER,
    REG_CLASSES_ROOT,
};

enum : uint32_t {
    REG_VALUE_SZ = 1,
    REG_VALUE_BINARY = 3,
    REG_VALUE_DWORD = 4,
};

// Creates the key and any missing parents.
uint32_t reg_create_key(reg_root root, const char* key);
// WIN_ERROR_SUCCESS when the key exists, WIN_ERROR_FILE_NOT_FOUND otherwise.
uint32_t reg_open_key(reg_root root, const char* key);
// Copies the value into data (capacity *size). *size becomes the value's size;
// WIN_ERROR_MORE_DATA when it does not fit. data may be null to ask the size.
uint32_t reg_query_value(reg_root root, const char* key, const char* name, uint32_t* type,
                         void* data, uint32_t* size);
// Stores a value, creating the key if needed.
uint32_t reg_set_value(reg_root root, const char* key, const char* name, uint32_t type,
                       const void* data, uint32_t size);
uint32_t reg_delete_value(reg_root root, const char* key, const char* name);
// Deletes a key that has no subkeys (WIN_ERROR_ACCESS_DENIED if it has some).
uint32_t reg_delete_key(reg_root root, const char* key);
