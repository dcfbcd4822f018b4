// Replacing a whole file the server rewrites (the mount table, the exports
// file) so that a crash leaves the old content or the new, never a part: the
// text goes to path + ".tmp", is flushed, and is moved over the file with
// write-through.
#pragma once
#include <string>

// Result: true, or false when a step failed (the temporary is then removed).
bool file_replace_contents(const char* path, const std::string& text);
