// UTF-8 <-> UTF-16 conversion for the Win32 calls and the registry text format.
#pragma once
#include <string>
#include <string_view>

// Both fail (false, output cleared) on malformed input; nothing is replaced silently.
bool utf8_to_utf16(std::string_view in, std::u16string& out);
bool utf16_to_utf8(std::u16string_view in, std::string& out);
