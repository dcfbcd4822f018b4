#include "bench/bench_mount.h"

#include <cstdio>
#include <filesystem>

#include "platform/path.h"
#include "quen/inode/inode_table.h"
#include "quen/mount/exports.h"
#include "quen/mount/mount_folder.h"
#include "quen/mount/mount_table.h"
#include "rpc/log.h"

bool bench_mount_open(const char* name, bench_mount& m) {
    namespace fs = std::filesystem;
    g_log_level = 0;   // the exports listing would mix with the figures
    const fs::path dir = fs::temp_directory_path() / name;
    fs::remove_all(dir);
    fs::create_directories(dir / "share");
    m.dir = dir.string();
    char base[2048];
    path_from_setting(m.dir.c_str(), base, sizeof base);
    const std::string table = std::string(base) + "\\inodes.nfs";
    m.share = std::string(base) + "\\share";
    inode_table_options o;
    o.path = table.c_str();
    o.reset = true;
    if (!inode_table_open_with(o)) {
        std::fprintf(stderr, "%s: cannot open %s\n", name, table.c_str());
        return false;
    }
    mount_table_init();
    const std::string exports = m.share + "\n";
    exports_load_text(exports.data(), exports.size());
    export_entry* exp = exports_active();
    const folder_mount f = exp ? mount_folder_record(0x0100007Fu, exp, m.share, NAME_ENCODING_UTF8, 17)
                               : folder_mount{};
    if (f.status != MOUNT_FOLDER_OK) {
        std::fprintf(stderr, "%s: cannot mount %s\n", name, m.share.c_str());
        return false;
    }
    m.mount_id = f.mount_id;
    return true;
}

void bench_mount_close(bench_mount& m) {
    mount_table_clear();
    exports_free_all();
    inode_table_close();
    std::filesystem::remove_all(m.dir);
}
