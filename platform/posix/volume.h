// Internals of the NTFS-like volume that serves platform/file.h on POSIX:
// path resolution with case-insensitive names, Windows metadata kept in
// extended attributes, the process-wide table of open files (share modes and
// byte-range locks) and the reparse-point encoding.
#pragma once
#include "platform/file.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

// ---- last error (volume_state.cpp) ----
void set_file_error(uint32_t e);
// Sets the error and returns false / WP_INVALID_HANDLE, for one-line failures.
bool fail(uint32_t e);
bool fail_errno(int e);
bool succeed();  // leaves the error as it is
// errno as the Win32 number a file call would give.
uint32_t file_errno_to_win32(int e);

// ---- names (volume_names.cpp) ----
// Windows' simple upper-case mapping of one code point (ASCII, Latin-1,
// Latin Extended-A, Greek, Cyrillic).
char32_t upcase_code_point(char32_t c);
// UTF-8 -> code points; false on malformed text.
bool decode_utf8(std::string_view s, std::u32string& out);
// The name with every code point upper-cased; malformed UTF-8 is kept byte for byte.
std::u32string upcased_name(std::string_view s);
bool names_equal_ignoring_case(std::string_view a, std::string_view b);
// Windows wildcard match (after the Win32 translation of ? . * into the DOS
// forms), ignoring case unless case_sensitive.
bool wildcard_match(std::string_view pattern, std::string_view name, bool case_sensitive);
bool has_wildcards(std::string_view pattern);
// Length of a UTF-8 text in UTF-16 code units.
size_t utf16_length(std::string_view s);

// ---- path resolution (volume_path.cpp) ----
struct volume_path {
    std::string drive;                    // "C:"
    std::string native_root;              // the drive's folder, ending in '/'
    std::vector<std::string> components;  // on-disk spelling where the entry exists
    bool exists = false;                  // the last component exists (lstat)
    struct stat st {};                    // lstat of the object when it exists
    std::string native;                   // POSIX path of the object (or where it would be created)
    std::string requested_name;           // the last component as the caller spelled it

    bool is_root() const { return components.empty(); }
    std::string native_parent() const;
    std::string windows() const;  // "C:\a\b"
};

enum : uint32_t {
    RESOLVE_PATTERN = 1,  // the last component is a search pattern: wildcards allowed, kept as given
};

// Parses a Windows-form path and finds its entries whatever their case: the
// exact spelling first (one lstat when it exists), else a directory scan per
// component. Result 0 or a Win32 error: 3 when a parent is missing or not a
// directory, 123 for a bad name, 206 for an over-long component.
uint32_t resolve_path(const char* path, volume_path& out, uint32_t flags = 0);
// Finds `name` in the native directory `dir` ignoring case; the on-disk name
// goes to `found`. Exact spelling first.
bool find_entry(const std::string& dir, const std::string& name, std::string& found, struct stat* st);

// ---- case-blind names of large directories (volume_name_index.cpp) ----
// A directory of at least this many entries gets an index at its first scan.
constexpr size_t kIndexedDirectorySize = 64;
// The on-disk spelling of `name` in the directory `dir` (its stat) into found:
// 1 found, 0 not there, -1 the directory has no index (scan it).
int indexed_entry(const struct stat& dir, const std::string& name, std::string& found);
// Indexes the directory at the native path, whose stat the caller has.
void index_directory(const std::string& dir, const struct stat& st);

// ---- metadata (volume_meta.cpp) ----
constexpr uint32_t kStoredAttributeMask = WP_FILE_ATTRIBUTE_READONLY | WP_FILE_ATTRIBUTE_HIDDEN |
                                          WP_FILE_ATTRIBUTE_SYSTEM | WP_FILE_ATTRIBUTE_ARCHIVE;
uint64_t timespec_to_filetime(const struct timespec& t);
struct timespec filetime_to_timespec(uint64_t t);
// Whether the file system under `native` keeps user extended attributes.
bool volume_keeps_xattrs(const std::string& native);
// The Windows attributes of an object from its lstat and extended attributes.
uint32_t object_attributes(const std::string& native, const struct stat& st);
uint64_t object_creation_time(const std::string& native, const struct stat& st);
// Stores READONLY, HIDDEN, SYSTEM, ARCHIVE (plus the reparse marker) and
// keeps the Linux write bits in step with READONLY. Result 0 or a Win32 error.
uint32_t store_attributes(const std::string& native, const struct stat& st, uint32_t attributes);
uint32_t store_creation_time(const std::string& native, uint64_t t);
// The last-write time as NTFS keeps it: any FILETIME, also one the Linux
// file system clamps to its range (kept beside the clamped time it then has).
uint64_t object_last_write_time(const std::string& native, const struct stat& st);
// After the last-write time was set to t: keeps t when the file system
// could not hold it.
void keep_last_write_time(const std::string& native, uint64_t t);
// Copies the Windows metadata (attributes, creation time, reparse data) from one object to another.
void copy_metadata(const std::string& from, const std::string& to);
// Reparse data kept in an extended attribute (tags other than symlink and junction).
bool read_reparse_xattr(const std::string& native, std::string& data);
uint32_t write_reparse_xattr(const std::string& native, const std::string& data);
uint32_t remove_reparse_xattr(const std::string& native);
void fill_attribute_data(const std::string& native, const struct stat& st, wp_attribute_data* d);
uint32_t volume_serial_of_device(dev_t dev);

// ---- reparse points as Linux symbolic links (file_reparse.cpp) ----
// A junction's link text is absolute and ends in "/.", a directory symlink's
// ends in "/", and no other link's is absolute and ends in "/.": all still
// resolve on Linux, and the object's kind survives a dangling target.
enum class link_kind { file_symlink, directory_symlink, junction };
// Reads a Linux symbolic link: its kind and, when asked, its target in Windows form.
bool read_link_object(const std::string& native, link_kind& kind, std::string* target, bool* relative);
// A POSIX path in Windows form on the drive whose folder holds it most closely.
std::string windows_form_of_native(const std::string& native);
// The reparse tag of an object (0 when it is none).
uint32_t object_reparse_tag(const std::string& native, const struct stat& st);

// ---- open files (volume_open.cpp) ----
struct posix_file {
    int fd = -1;
    std::string native;
    dev_t dev = 0;
    ino_t ino = 0;
    uint32_t access = 0;  // normalised: WP_FILE_READ_DATA, WRITE_DATA, APPEND_DATA, WRITE_ATTRIBUTES, DELETE
    uint32_t share = 0;
    bool directory = false;
    bool link = false;  // a symbolic link opened itself (O_PATH)
    bool archive_set = false;
    uint64_t position = 0;
};

// Access rights with the generic ones expanded.
uint32_t expand_access(uint32_t access);
// Registers a handle if its access and share mode agree with every other open
// handle of the file. Result 0 or WIN_ERROR_SHARING_VIOLATION.
uint32_t register_open(posix_file* f);
void unregister_open(posix_file* f);
// Resolves a raw handle; null (with ERROR_INVALID_HANDLE set) when it is none.
posix_file* lookup_handle(wp_handle h);
// Whether some open handle of the file does not share delete (a delete or rename must then fail).
bool open_without_share_delete(dev_t dev, ino_t ino);
// Whether the file has any open handle: a rename cannot replace it then,
// whatever the handles share.
bool object_is_open(dev_t dev, ino_t ino);
// Windows deletes an object that is open (every handle sharing delete) only
// when its last handle closes: until then its name stays, listed but refusing
// every open. True when the object is open and its deletion now pending; the
// caller deletes it itself otherwise.
bool defer_delete_while_open(dev_t dev, ino_t ino, const std::string& native, bool directory);
bool delete_is_pending(dev_t dev, ino_t ino);
// Moves a handle to another file identity (after its object was replaced).
void rekey_open(posix_file* f, dev_t dev, ino_t ino);
// Byte-range locks. Results are Win32 errors (0: done).
uint32_t add_lock(posix_file* f, uint64_t offset, uint64_t length, bool exclusive);
uint32_t remove_lock(posix_file* f, uint64_t offset, uint64_t length);
// Whether the locks bar reading (or writing) [offset, offset+length) through f.
bool range_locked_against(posix_file* f, uint64_t offset, uint64_t length, bool write);
// Renamed objects keep their handles' paths current.
void rename_open_paths(const std::string& from, const std::string& to);
