// How NFS clients see a server folder: C:\dir as /c/dir.
#pragma once
#include <string>

// The folder written with "/": a drive path "C:\dir" becomes "/c/dir" (the
// letter in lower case when `lowercase`), "\\?\C:\dir" becomes "//?/c:/dir",
// UNC paths keep their two leading slashes; no trailing "/".
std::string client_form(const std::string& folder, bool lowercase);
