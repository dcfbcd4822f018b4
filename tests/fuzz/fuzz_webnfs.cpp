// The WebNFS mount over any LOOKUP name: whatever the bytes, a mount it makes
// lies inside the export the client may use through the public handle (or,
// without a public export, inside an export that admits it), and a refused
// name leaves the LOOKUP's arguments as they came.
// Input: one flag byte (bit 0: the client without a public export; bit 1:
// the code-page stamp), then the name.
#include "platform/file.h"
#include "platform/path.h"
#include "quen/config/settings.h"
#include "quen/config/char_class.h"
#include "quen/fs/nfs_status.h"
#include "quen/inode/inode_table.h"
#include "quen/mount/exports.h"
#include "quen/fs/mount_webnfs.h"
#include "quen/fs/resolve.h"
#include "quen/mount/mount_implicit.h"
#include "quen/mount/mount_table.h"
#include "rpc/log.h"
#include "tests/fuzz/fuzz_check.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

constexpr uint32_t kPublicClient = 0x0100007Fu;   // 127.0.0.1
constexpr uint32_t kOtherClient = 0x010200C0u;    // 192.0.2.1
constexpr uint32_t kStamp = 0x31415926u;

std::string g_public, g_other;
char g_base[64];

void remove_tree() {
    inode_table_close();
    std::error_code ignored;
    std::filesystem::remove_all(g_base, ignored);
}

bool inside(const std::string& path, const std::string& folder) {
    if (path.size() < folder.size() || !ascii_equal_ignoring_case(path.c_str(), folder.c_str(), folder.size()))
        return false;
    return path.size() == folder.size() || path[folder.size()] == '\\';
}

void make_tree() {
    std::snprintf(g_base, sizeof g_base, "/dev/shm/tervalo-fuzz-webnfs-%d", int(getpid()));
    std::atexit(remove_tree);
    char windows[2048];
    path_from_setting(g_base, windows, sizeof windows);
    const std::string root = windows;
    for (const char* d : {"", "\\pub", "\\pub\\a", "\\pub\\a\\b", "\\pub\\D\xc3\xa9j\xc3\xa0", "\\pubx", "\\other",
                          "\\other\\in", "\\outside"})
        wp_create_directory((root + d).c_str());
    g_public = root + "\\pub";
    g_other = root + "\\other";
    std::snprintf(g_settings.data_dir, sizeof g_settings.data_dir, "%s\\", root.c_str());
    inode_table_options o;
    const std::string table = root + "\\inodes.nfs";
    o.path = table.c_str();
    o.reset = true;
    o.initial_records = 4096;
    FUZZ_CHECK(inode_table_open_with(o));
    const std::string text = g_public + " -public 127.0.0.1\n" + g_other + " -alldirs\n";
    FUZZ_CHECK(exports_load_text(text.data(), text.size()).error == EXPORTS_OK);
    mount_table_init();
    g_settings.record.webnfs = 1;
    g_settings.record.win10tag = kStamp;
    g_settings.record.code_page = 1252;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        g_log_level = 0;
        make_tree();
        return true;
    }();
    (void)ready;
    if (size == 0 || size > 4096) return 0;
    const uint32_t client = (data[0] & 1) ? kOtherClient : kPublicClient;
    const uint32_t stamp = (data[0] & 2) ? kStamp : 0;
    const std::string name(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string buffer = name + std::string(2, '\0');
    size_t length = name.size();
    internal_handle dir{};
    const uint32_t status = mount_webnfs(&dir, buffer.data(), &length, buffer.size(), client, 17, stamp);
    if (status != NFS_OK) {
        FUZZ_CHECK(length == name.size() && buffer.compare(0, length, name) == 0);
        for (uint32_t w : dir.word) FUZZ_CHECK(w == 0);
        FUZZ_CHECK(status == NFSERR_ACCES || status == NFSERR_NOENT || status == NFSERR_NAMETOOLONG ||
                   status == NFSERR_NODEV);
    } else {
        FUZZ_CHECK(length == 1 && buffer[0] == '.');
        mount_context ctx{};
        char mounted[kHandlePathSize];
        FUZZ_CHECK(handle_resolve(dir, &ctx, mounted) != 0);
        FUZZ_CHECK(inside(mounted, client == kPublicClient ? g_public : g_other));
        FUZZ_CHECK(wp_get_file_attributes(mounted) & WP_FILE_ATTRIBUTE_DIRECTORY);
    }
    if (mount_table_size() > 64) mount_table_clear();
    return 0;
}
