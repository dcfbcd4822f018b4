// Mount paths as clients spell them and as they reach the disk: one spelling
// per folder, so that variants cannot multiply a client's entries, and no
// way out of the export through a link or junction.
#pragma once
#include "quen/mount/export_entry.h"

#include <string>

// The client path with runs of "/" made one (a leading "//" stays), "."
// components dropped and no trailing "/": "/c/a//b/./" gives "/c/a/b".
std::string mount_path_canonical(const char* client_path);

// Whether the mounted folder (Windows form, the export's folder followed by
// the rest of the request) is reached without passing through a reparse
// point below the export, and still lies inside the export's folder once
// the system has resolved both.
bool mount_path_inside_export(const export_entry& exp, const std::string& windows_path);
