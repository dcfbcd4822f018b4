#include "tests/mount/mount_test_env.h"
#include "tests/support/reparse_bytes.h"

#include "platform/file.h"
#include "quen/config/settings.h"
#include "quen/fs/dir_count.h"
#include "quen/fs/volume.h"
#include "quen/inode/inode_table.h"
#include "quen/mount/mount_file.h"
#include "quen/mount/mount_folder.h"
#include "tests/support/file_tree.h"

#include <cstdio>
#include <cstring>

namespace {

int no_resolver(const char*, uint32_t*, int) { return 0; }

}  // namespace

void mount_test::SetUp() {
    saved_lowercase = g_settings.record.lowercase;
    saved_fh_size = g_settings.record.fh_size;
    g_settings.record.lowercase = 1;
    exports_free_all();
    exports_set_resolver(no_resolver);
    mount_table_init();
    mounttab_forget();
    dir = unique_test_folder("tervalo-mount-") + "\\";
    ASSERT_TRUE(wp_create_directory(dir.substr(0, dir.size() - 1).c_str())) << "error " << file_last_error();
    std::snprintf(g_settings.data_dir, sizeof g_settings.data_dir, "%s", dir.c_str());
    inode_table_options o;
    const std::string table = dir + "inodes.nfs";
    o.path = table.c_str();
    o.initial_records = 256;
    o.spin_count = 100;
    ASSERT_TRUE(inode_table_open_with(o));
}

void mount_test::TearDown() {
    mount_set_name_resolver(nullptr);
    mount_table_clear();
    mounttab_forget();
    inode_table_close();
    exports_free_all();
    exports_set_resolver(nullptr);
    dir_count_close_all();  // kept directory counts hold their directories open, as a server's do
    remove_tree(dir.substr(0, dir.size() - 1));
    g_settings.data_dir[0] = 0;
    g_settings.record.lowercase = saved_lowercase;
    g_settings.record.fh_size = saved_fh_size;
}

void mount_test::make_dir(const std::string& relative) {
    ASSERT_TRUE(wp_create_directory(at(relative).c_str())) << relative << " error " << file_last_error();
}

void mount_test::make_file(const std::string& relative, const std::string& data) {
    file_handle h(wp_create_file(at(relative).c_str(), WP_GENERIC_WRITE, 0, WP_CREATE_ALWAYS,
                                 WP_FILE_ATTRIBUTE_NORMAL));
    ASSERT_TRUE(h.valid()) << relative << " error " << file_last_error();
    uint32_t done = 0;
    ASSERT_TRUE(data.empty() || wp_write_file(h.get(), data.data(), uint32_t(data.size()), &done));
    ASSERT_EQ(done, data.size());
}

void mount_test::make_link(const std::string& relative, const std::string& target, bool directory, bool junction) {
    if (directory || junction)
        make_dir(relative);
    else
        make_file(relative, "");
    const std::string name = utf16le(target);
    std::string body;
    put16(body, 0);
    put16(body, uint32_t(name.size()));
    put16(body, uint32_t(name.size() + 2));
    put16(body, uint32_t(name.size()));
    if (!junction) put32(body, 0);   // absolute
    body += name + std::string(2, '\0') + name + std::string(2, '\0');
    std::string data;
    put32(data, junction ? WP_IO_REPARSE_TAG_MOUNT_POINT : WP_IO_REPARSE_TAG_SYMLINK);
    put16(data, uint32_t(body.size()));
    put16(data, 0);
    data += body;
    file_handle h(wp_create_file(at(relative).c_str(), WP_GENERIC_READ | WP_GENERIC_WRITE, WP_FILE_SHARE_ALL,
                                 WP_OPEN_EXISTING, WP_FILE_FLAG_BACKUP_SEMANTICS | WP_FILE_FLAG_OPEN_REPARSE_POINT));
    ASSERT_TRUE(h.valid()) << relative;
    ASSERT_TRUE(wp_device_io_control(h.get(), WP_FSCTL_SET_REPARSE_POINT, data.data(), uint32_t(data.size()), nullptr,
                                     0, nullptr))
        << relative << " error " << file_last_error();
}

std::string mount_test::read_file(const std::string& relative) {
    file_handle h(wp_create_file(at(relative).c_str(), WP_GENERIC_READ, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING,
                                 WP_FILE_ATTRIBUTE_NORMAL));
    if (!h.valid()) return "<missing>";
    std::string out(1 << 16, '\0');
    uint32_t done = 0;
    if (!wp_read_file(h.get(), out.data(), uint32_t(out.size()), &done)) return "<unreadable>";
    out.resize(done);
    return out;
}

bool mount_test::exists(const std::string& relative) {
    return wp_get_file_attributes(at(relative).c_str()) != WP_INVALID_FILE_ATTRIBUTES;
}

void mount_test::load_exports(const std::string& text) {
    const std::string base = dir.substr(0, dir.size() - 1);
    std::string expanded;
    for (char c : text) {
        if (c == '@') expanded += base;
        else expanded += c;
    }
    const exports_report r = exports_load_text(expanded.data(), expanded.size());
    ASSERT_EQ(r.error, EXPORTS_OK) << "line " << r.line << " of\n" << expanded;
}

export_entry* mount_test::export_at(size_t index) {
    export_entry* e = exports_active();
    while (e && index--) e = e->next;
    return e;
}

uint32_t mount_test::mount_folder(uint32_t client, const std::string& path, export_entry* exp, uint32_t origin) {
    uint32_t flags = exp->fixed.mount_flags;
    volume_probe_result volume{exp->fixed.volume_serial, exp->fixed.max_name_length};
    EXPECT_TRUE(probe_volume(path.c_str(), &flags, &volume)) << path;
    uint64_t identity = 0;
    EXPECT_EQ(mount_folder_identity(path.c_str(), flags, &identity), MOUNT_FOLDER_OK) << path;
    mount_request r;
    r.client = client;
    r.path = path;
    r.exp = exp;
    r.root_identity = identity;
    r.volume_serial = volume.serial;
    r.max_name_length = volume.max_component_length;
    r.flags = flags;
    r.origin = origin;
    uint32_t id = 0;
    EXPECT_NE(mount_record(r, &id), MOUNT_RECORD_FAILED);
    return id;
}
