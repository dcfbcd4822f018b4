// Symbolic link targets between the client's form (slash-separated, its
// encoding, escapes not applied) and the Windows form a reparse point
// holds, and where such a target leads.
#pragma once
#include "quen/mount/mount_context.h"

#include <cstddef>
#include <cstdint>

// Whether the target names a volume of its own ("C:..." or "\\...") in
// Windows form.
bool is_absolute_windows_target(const char* target);

// Each component of the client's target through the name translation; an
// absolute target ("/c/data") gets its volume from the slash form. out:
// kLinkTargetSize bytes. Result: an NFS status.
inline constexpr size_t kLinkTargetSize = 2048;
uint32_t link_target_to_windows(const mount_context& ctx, const char* target, size_t length, char* out);

// The reverse, in place, for READLINK. false when it does not fit.
bool link_target_to_client(const mount_context& ctx, char* target, size_t size);

// The path the target leads to from a link at link_path, with "." and ".."
// taken out, into out (kLinkTargetSize bytes). false when it climbs above
// its volume or does not fit.
bool link_destination(const char* link_path, const char* windows_target, char* out);

// Whether the reparse point at from_path, a link Windows follows, leads
// inside the mount from there but out of it once moved to to_path (a
// relative target moves with its link). false for anything else.
bool link_leads_out_when_moved(const mount_context& ctx, const char* from_path, const char* to_path);
