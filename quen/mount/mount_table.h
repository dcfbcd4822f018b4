// quen/mount: exports, the mount table and its file, the MOUNT service, the
// volume probe and the mount context a handle carries to the file layer.
// Uses config/ and inode/ (and rpc/, platform/).
//
// The mount table: one entry per client and mounted folder, newest first,
// whose identifier every file handle carries. Guarded by the mount lock,
// with a 256-slot cache from an identifier's low byte to its entry, and
// saved in the file "mounttab" so that handles outlive a restart.
#pragma once
#include "quen/mount/mount_context.h"
#include "quen/mount/export_entry.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr size_t kMountImageSize = 564;   // the fixed part; the path follows
inline constexpr size_t kMountHostNameSize = 512;
inline constexpr size_t kMountPathMax = 2047;

// Origin word: the IP protocol of the request in the low bits, and how the
// mount was made.
enum : uint32_t {
    MOUNT_ORIGIN_PROTOCOL_MASK = 0xFF,
    MOUNT_ORIGIN_WEBNFS = 0x100,
    MOUNT_ORIGIN_AUTO = 0x200,
};

// The entry as the control pipe carries it (little-endian words). The
// references are opaque numbers, never addresses.
struct mount_entry_image {
    uint32_t self_ref;
    uint32_t next_ref;                    // 0 after the last entry
    char host_name[kMountHostNameSize];   // empty until the reverse lookup ends
    uint32_t client_address;              // IPv4, network order
    uint32_t reserved524;
    uint32_t root_identity_low;           // inode number or file id of the folder
    uint32_t root_identity_high;
    uint32_t max_name_length;
    uint32_t volume_serial;
    uint32_t mount_flags;
    uint32_t name_encoding;
    uint32_t origin;                      // MOUNT_ORIGIN_*
    uint32_t mount_id;
    uint32_t export_ref;                  // the export's self_ref
};

static_assert(std::endian::native == std::endian::little, "the image is the record as held");
static_assert(sizeof(mount_entry_image) == kMountImageSize);
static_assert(offsetof(mount_entry_image, next_ref) == 4);
static_assert(offsetof(mount_entry_image, host_name) == 8);
static_assert(offsetof(mount_entry_image, client_address) == 520);
static_assert(offsetof(mount_entry_image, reserved524) == 524);
static_assert(offsetof(mount_entry_image, root_identity_low) == 528);
static_assert(offsetof(mount_entry_image, root_identity_high) == 532);
static_assert(offsetof(mount_entry_image, max_name_length) == 536);
static_assert(offsetof(mount_entry_image, volume_serial) == 540);
static_assert(offsetof(mount_entry_image, mount_flags) == 544);
static_assert(offsetof(mount_entry_image, name_encoding) == 548);
static_assert(offsetof(mount_entry_image, origin) == 552);
static_assert(offsetof(mount_entry_image, mount_id) == 556);
static_assert(offsetof(mount_entry_image, export_ref) == 560);

struct mount_entry {
    mount_entry_image fixed{};
    mount_entry* next = nullptr;
    export_entry* exp = nullptr;   // never freed while the server runs
    std::string path;              // Windows form; empty: the export's own folder
    bool lookup_pending = false;   // a reverse name lookup is running for it
};

// What a mount records. path is the mounted folder in Windows form.
struct mount_request {
    uint32_t client = 0;           // network order
    std::string path;
    export_entry* exp = nullptr;
    uint64_t root_identity = 0;
    uint32_t volume_serial = 0;
    uint32_t max_name_length = 0;
    uint32_t flags = 0;
    uint32_t encoding = NAME_ENCODING_UTF8;
    uint32_t origin = 0;
    uint32_t given_id = 0;         // from "mounttab": taken as it is; 0: a new one
};

// FULL: a new entry would pass "MountsPerClient" or "Mounts".
enum mount_record_result { MOUNT_RECORD_FAILED, MOUNT_RECORD_NEW, MOUNT_RECORD_EXISTING, MOUNT_RECORD_FULL };

// Initialises the mount lock (once), empties the table and starts the
// identifier counter at a value of this run.
void mount_table_init();
// The counter the next new identifier is computed from.
uint32_t mount_id_counter();
// Frees every entry and clears the cache.
void mount_table_clear();

// Adds the mount, or refreshes the entry of the same client and path.
mount_record_result mount_record(const mount_request& request, uint32_t* id_out);

// The context of the entry with the identifier; the mounted path (its own,
// else the export's folder) is copied into path_buffer. false: no entry.
bool mount_lookup(uint32_t mount_id, mount_context* ctx, char* path_buffer, size_t buffer_size);

// Removes the entry with the own reference. Result: one was removed.
bool mount_remove(uint32_t self_ref);
// Removes the first entry of the client whose path is windows_path.
bool mount_remove_path(uint32_t client, const char* windows_path);
// Removes every entry of the client. Result: how many.
size_t mount_remove_client(uint32_t client);
// Every entry with the identifier gets origin 6 (TCP), dropping the other bits.
void mount_note_tcp(uint32_t mount_id);

// Copies of the entries in list order, with their paths (DUMP, control pipe).
struct mount_entry_copy {
    mount_entry_image fixed;
    const export_entry* exp;
    std::string path;   // as held: empty for the export's own folder
};
std::vector<mount_entry_copy> mount_table_snapshot();
size_t mount_table_size();

// Sets the entry's host name, found by its own reference, when it still
// exists and the name fits. Result: stored.
bool mount_set_host_name(uint32_t self_ref, const char* name);

// ---- reverse name lookups ----------------------------------------------------------

// Resolves a client address (network order) to a host name; false when none.
using mount_name_resolver = bool (*)(uint32_t address, char* out, size_t size);
// Installs the resolver that lookup threads use; null (the default) starts none.
void mount_set_name_resolver(mount_name_resolver resolver);
inline constexpr int kMountMaxLookups = 4;   // lookups running at once
int mount_lookups_running();

// The mount lock itself (recursive), for code that must keep the table still
// across several calls, such as the rewrite of "mounttab".
void mount_lock_enter();
void mount_lock_leave();
struct mount_lock_hold {
    mount_lock_hold() { mount_lock_enter(); }
    mount_lock_hold(const mount_lock_hold&) = delete;
    mount_lock_hold& operator=(const mount_lock_hold&) = delete;
    ~mount_lock_hold() { mount_lock_leave(); }
};
