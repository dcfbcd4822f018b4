#include "quen/fs/fs_start.h"

#include <clocale>

#include "platform/file.h"
#include "quen/config/settings.h"
#include "quen/fs/dir_count.h"
#include "quen/fs/dir_scan.h"
#include "quen/fs/open_cache.h"
#include "rpc/log.h"

namespace {

void log_setup(const server_config& r, const char* locale) {
    log_event(1, "quen   %s\n", locale ? locale : "C");
    log_event(1, "quen   file handle cache size %u\n", r.cache);
    log_event(1, "quen   maximum data size %u\n", r.datasize);
    if (r.fh_size != 20) log_event(1, "quen   nfs3 handle size %u\n", r.fh_size);
    if (r.map_root) log_event(1, "quen   client root mapped to root\n");
    if (r.file_id && r.file_ids_available) log_event(1, "quen   file id mode enabled\n");
    if (r.save_attr) log_event(1, "quen   save attr on NTFS enabled\n");
    if (r.soft_links & 1) log_event(1, "quen   symbolic links enabled \n");
    if (r.soft_links > 1) log_event(1, "quen   NTFS reparse points enabled \n");
    if ((r.hard_links & 1) && r.hard_links_available) log_event(1, "quen   NTFS hard links supported\n");
    if (r.hard_links & 2) log_event(1, "quen   hard links by copy enabled\n");
    if (r.x2system) log_event(1, "quen   execute mapped to SYSTEM\n");
    if (g_settings.dir_bits == 8) log_event(1, "quen   %u parallel directory scans\n", 1u << 8);
    if (g_settings.dir_limit != 9999) log_event(1, "quen   max dir entries/packet %u\n", unsigned(g_settings.dir_limit));
}

}  // namespace

bool fs_layer_start() {
    server_config& r = g_settings.record;
    cache_init(r.cache != 0);
    dir_scan_init();
    if (!cache_sweeper_start()) return false;
    r.hard_links_available = wp_hard_links_available();
    r.file_ids_available = wp_file_ids_available();
    // Names are lowercased by the C library's character classes.
    const char* locale = std::setlocale(LC_CTYPE, "");
    log_setup(r, locale);
    return true;
}

void fs_layer_stop() {
    cache_sweeper_stop();
    dir_scan_close_all();
    cache_close_all();
    dir_count_close_all();
}
