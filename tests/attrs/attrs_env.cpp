#include "tests/attrs/attrs_env.h"
#include "tests/support/reparse_bytes.h"

#include "platform/utf16.h"
#include "quen/fs/dir_count.h"
#include "quen/fs/volume.h"

#include <vector>

fs_credential user_credential(int32_t uid, int32_t gid) {
    fs_credential c{};
    c.uid = uid;
    c.gid = gid;
    return c;
}

void attrs_test::SetUp() {
    saved_settings = g_settings.record;
    server_config& s = g_settings.record;
    s.x2system = 0;
    s.set_exec = 0;
    s.map_root = 0;
    s.dir_count = 0;
    s.save_attr = 0;
    s.file_id = 1;
    s.hard_links = 1;
    s.lowercase = 1;
    entry.fixed = export_image_defaults();
    root = unique_test_folder("tervalo-attrs-");
    ASSERT_TRUE(wp_create_directory(root.c_str())) << "error " << file_last_error();
    volume_probe_result v{};
    uint32_t flags = 0;
    ASSERT_TRUE(probe_volume(root.c_str(), &flags, &v));
    // File id mode would make the file id the volume's own: these tests
    // pass inode numbers.
    ctx.flags = flags & ~uint32_t(MOUNT_FLAG_FILE_ID);
    ctx.volume_serial = v.serial;
    ctx.max_component_length = v.max_component_length;
    ctx.name_encoding = NAME_ENCODING_UTF8;
    ctx.entry = &entry;
    ctx.mounted_path = root.c_str();
}

void attrs_test::TearDown() {
    dir_count_close_all();  // kept directory counts hold their directories open, as a server's do
    remove_tree(root);
    EXPECT_EQ(wp_get_file_attributes(root.c_str()), WP_INVALID_FILE_ATTRIBUTES) << "left behind: " << root;
    g_settings.record = saved_settings;
}

void attrs_test::make_file(const std::string& relative, const std::string& data, uint32_t attributes) {
    {
        file_handle h(wp_create_file(at(relative).c_str(), WP_GENERIC_WRITE, 0, WP_CREATE_NEW, WP_FILE_ATTRIBUTE_NORMAL));
        ASSERT_TRUE(h.valid()) << relative << " error " << file_last_error();
        uint32_t done = 0;
        ASSERT_TRUE(wp_write_file(h.get(), data.data(), uint32_t(data.size()), &done));
        ASSERT_EQ(done, data.size());
    }
    if (attributes) {
        ASSERT_TRUE(wp_set_file_attributes(at(relative).c_str(), attributes)) << file_last_error();
    }
}

void attrs_test::make_dir(const std::string& relative, uint32_t attributes) {
    ASSERT_TRUE(wp_create_directory(at(relative).c_str())) << relative << " error " << file_last_error();
    if (attributes) {
        ASSERT_TRUE(wp_set_file_attributes(at(relative).c_str(), attributes)) << file_last_error();
    }
}

void attrs_test::set_creation_time(const std::string& relative, uint64_t filetime) {
    file_handle h(wp_create_file(at(relative).c_str(), WP_FILE_WRITE_ATTRIBUTES, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING,
                                 WP_FILE_FLAG_BACKUP_SEMANTICS));
    ASSERT_TRUE(h.valid()) << file_last_error();
    ASSERT_TRUE(wp_set_file_time(h.get(), &filetime, nullptr, nullptr)) << file_last_error();
}

file_attributes attrs_test::attr_of(const std::string& relative) { return attr_of(relative, user_credential(1000, 1000)); }

file_attributes attrs_test::attr_of(const std::string& relative, const fs_credential& cred) {
    file_attributes a{};
    uint32_t status = 99;
    const uint32_t bits = get_attributes(4096, ctx, at(relative).c_str(), WP_INVALID_HANDLE, cred, a, &status);
    EXPECT_EQ(status, 0u) << relative;
    EXPECT_NE(bits, WP_INVALID_FILE_ATTRIBUTES) << relative;
    return a;
}

namespace {
std::string with_header(uint32_t tag, const std::string& body) {
    std::string out;
    put32(out, tag);
    put16(out, uint32_t(body.size()));
    put16(out, 0);
    return out + body;
}
}  // namespace


std::string link_reparse_data(uint32_t tag, const std::string& substitute, const std::string& print, bool relative) {
    const std::string sub = utf16le(substitute), pr = utf16le(print);
    std::string body;
    put16(body, 0);
    put16(body, uint32_t(sub.size()));
    put16(body, uint32_t(sub.size() + 2));
    put16(body, uint32_t(pr.size()));
    if (tag == WP_IO_REPARSE_TAG_SYMLINK) put32(body, relative ? 1 : 0);
    body += sub + std::string(2, '\0') + pr + std::string(2, '\0');
    return with_header(tag, body);
}

std::string nfs_reparse_link(const std::string& target) {
    std::string body;
    put32(body, 0x014B4E4C);
    put32(body, 0);
    body += utf16le(target);
    return with_header(WP_IO_REPARSE_TAG_NFS, body);
}

std::string nfs_reparse_device(uint64_t type, uint32_t major, uint32_t minor) {
    std::string body;
    put32(body, uint32_t(type));
    put32(body, uint32_t(type >> 32));
    put32(body, major);
    put32(body, minor);
    return with_header(WP_IO_REPARSE_TAG_NFS, body);
}

bool set_reparse(const std::string& path, const std::string& data) {
    file_handle h(wp_create_file(path.c_str(), WP_GENERIC_READ | WP_GENERIC_WRITE, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING,
                                 WP_FILE_FLAG_BACKUP_SEMANTICS | WP_FILE_FLAG_OPEN_REPARSE_POINT));
    if (!h.valid()) return false;
    return wp_device_io_control(h.get(), WP_FSCTL_SET_REPARSE_POINT, data.data(), uint32_t(data.size()), nullptr, 0,
                                nullptr);
}
