#include "platform/console.h"

// Terminals here take UTF-8.
void console_write(FILE* stream, const char* text, size_t length) { std::fwrite(text, 1, length, stream); }
