// Services' last error: service calls have no errno, so their Win32 error is
// kept per thread. Also the English system messages of the errors this
// backend gives.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Keeps e as the last error and clears errno, so sys_last_error reports it
// until a later failing call sets errno again. Result: e.
uint32_t set_service_error(uint32_t e);
// Stores e in *error (when given) and as the last error. Result: e.
uint32_t fail(uint32_t* error, uint32_t e);
// Copies s with its NUL when it fits (result: its length), else "" (result 0).
size_t copy_out(const std::string& s, char* out, size_t size);
