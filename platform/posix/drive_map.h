// The POSIX stand-in's drive letters: Z: is the root of the file system;
// other letters may be mapped to folders by values of the registry key
// HKEY_LOCAL_MACHINE\Software\Tervalo\Drives (for example "C"="/srv/c").
#pragma once
#include <string>

// "Z:\var\lib" -> "/var/lib". A "\\?\" prefix is accepted. Fails for an
// unmapped letter, a UNC or volume path, or a relative path.
bool windows_to_native_path(const char* path, std::string& native);
// "/var/lib/" -> "Z:\var\lib\".
std::string native_to_windows_path(const std::string& native);
