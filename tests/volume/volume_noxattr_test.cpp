// A Linux file system without user extended attributes (ramfs) has nowhere to
// keep HIDDEN, SYSTEM, the creation time or reparse data: the volume must
// describe itself as FAT does and refuse those, while everything else still
// works. The same checks on an ordinary folder show the NTFS-like side.
// ramfs is mounted in a private mount namespace of a forked child, which
// reports each failed check through a pipe.
#include "tests/support/reparse_bytes.h"
#include "platform/utf16.h"
#include "platform/win_error.h"
#include "tests/volume/volume_env.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <sstream>
#include <linux/mount.h>  // not <sys/mount.h>: its <fcntl.h> has a struct file_handle of its own
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

constexpr int kChildSkips = 77;

// ---- failure log ----------------------------------------------------------

struct findings {
    int fd = -1;  // each failure is also written here at once, so a crash loses none
    std::string text;

    void add(int line, const std::string& what) {
        const std::string s = "line " + std::to_string(line) + ": " + what + "\n";
        text += s;
        if (fd >= 0) {
            size_t done = 0;
            while (done < s.size()) {
                const ssize_t n = ::write(fd, s.data() + done, s.size() - done);
                if (n <= 0) break;
                done += size_t(n);
            }
        }
    }
};

std::string shown(uint64_t v) {
    std::ostringstream o;
    o << v << " (0x" << std::hex << v << ")";
    return o.str();
}
std::string shown(const std::string& v) { return "\"" + v + "\""; }

template <typename A, typename B>
void check_eq(findings& f, int line, const char* expr, const A& got, const B& want) {
    if (!(got == want)) f.add(line, std::string(expr) + ": got " + shown(got) + ", want " + shown(want));
}

#define CHECK(f, cond) \
    do { \
        if (!(cond)) (f).add(__LINE__, std::string(#cond) + " (error " + std::to_string(file_last_error()) + ")"); \
    } while (0)
#define CHECK_EQ(f, got, want) check_eq((f), __LINE__, #got, (got), (want))
// A call that must fail with the given Win32 error.
#define CHECK_FAILS(f, call, error) \
    do { \
        const bool ok_ = (call); \
        if (ok_) (f).add(__LINE__, std::string(#call) + " succeeded, want error " + std::to_string(error)); \
        else check_eq((f), __LINE__, #call " error", uint64_t(file_last_error()), uint64_t(error)); \
    } while (0)

// ---- helpers through the layer ----------------------------------------------


std::string reparse_buffer(uint32_t tag, const std::string& body) {
    std::string out;
    put32(out, tag);
    put16(out, uint16_t(body.size()));
    put16(out, 0);
    return out + body;
}

// An absolute symlink or junction to `target`.
std::string link_data(uint32_t tag, const std::string& target) {
    const std::string sub = utf16le("\\??\\" + target), print = utf16le(target);
    std::string body;
    put16(body, 0);
    put16(body, uint16_t(sub.size()));
    put16(body, uint16_t(sub.size() + 2));
    put16(body, uint16_t(print.size()));
    if (tag == WP_IO_REPARSE_TAG_SYMLINK) put32(body, 0);
    return reparse_buffer(tag, body + sub + std::string(2, '\0') + print + std::string(2, '\0'));
}

std::string nfs_data(const std::string& target) {
    std::string body;
    put32(body, 0x014B4E4C);  // the NFS symlink kind
    put32(body, 0);
    return reparse_buffer(WP_IO_REPARSE_TAG_NFS, body + utf16le(target));
}

file_handle open_path(const std::string& path, uint32_t access, uint32_t disposition = WP_OPEN_EXISTING,
                      uint32_t flags = WP_FILE_FLAG_BACKUP_SEMANTICS) {
    return file_handle(wp_create_file(path.c_str(), access, WP_FILE_SHARE_ALL, disposition, flags));
}

bool write_new(const std::string& path, const std::string& data, uint32_t attributes = WP_FILE_ATTRIBUTE_NORMAL) {
    file_handle h = open_path(path, WP_GENERIC_WRITE, WP_CREATE_NEW, attributes);
    uint32_t done = 0;
    return h.valid() && wp_write_file(h.get(), data.data(), uint32_t(data.size()), &done) && done == data.size();
}

std::string read_back(const std::string& path) {
    file_handle h = open_path(path, WP_GENERIC_READ, WP_OPEN_EXISTING, 0);
    if (!h.valid()) return "<open error " + std::to_string(file_last_error()) + ">";
    std::string out;
    char buf[256];
    uint32_t n = 0;
    while (wp_read_file(h.get(), buf, sizeof buf, &n) && n > 0) out.append(buf, n);
    return out;
}

bool device_control(const std::string& path, uint32_t code, const std::string& in, std::string* out = nullptr) {
    file_handle h = open_path(path, WP_GENERIC_READ | WP_GENERIC_WRITE, WP_OPEN_EXISTING,
                              WP_FILE_FLAG_BACKUP_SEMANTICS | WP_FILE_FLAG_OPEN_REPARSE_POINT);
    if (!h.valid()) return false;
    char buf[WP_MAXIMUM_REPARSE_DATA_BUFFER_SIZE];
    uint32_t n = 0;
    const bool ok = wp_device_io_control(h.get(), code, in.empty() ? nullptr : in.data(), uint32_t(in.size()),
                                         out ? buf : nullptr, out ? sizeof buf : 0, &n);
    if (ok && out) out->assign(buf, n);
    return ok;
}

uint64_t filetime_now() {
    const auto since_1970 = std::chrono::system_clock::now().time_since_epoch();
    return WP_FILETIME_UNIX_EPOCH + uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(since_1970).count()) * 10;
}

uint64_t write_time_of(const std::string& path) {
    wp_attribute_data d{};
    return wp_get_file_attributes_ex(path.c_str(), &d) ? d.last_write_time : 0;
}

std::vector<std::string> names_found(const std::string& pattern) {
    std::vector<std::string> names;
    wp_find_data d;
    wp_find_handle h = wp_find_first(pattern.c_str(), WP_FIND_EX_INFO_BASIC, &d, 0, 0);
    if (h == WP_INVALID_FIND_HANDLE) return names;
    do names.push_back(d.name);
    while (wp_find_next(h, &d));
    wp_find_close(h);
    return names;
}

// ---- the checks ---------------------------------------------------------------

std::string windows_form(const std::string& native) {
    std::string w = "Z:";
    for (char c : native) w.push_back(c == '/' ? '\\' : c);
    return w;
}

// `native_root`: an empty folder, `root` the same in Windows form. `ntfs_like`: whether its file
// system keeps user extended attributes. `own_volume`: the folder is the root
// of a file system of its own.
void check_volume(findings& f, const std::string& native_root, bool ntfs_like, bool own_volume) {
    const std::string root = windows_form(native_root);
    const auto at = [&](const std::string& name) { return root + "\\" + name; };
    constexpr uint32_t A = WP_FILE_ATTRIBUTE_ARCHIVE, R = WP_FILE_ATTRIBUTE_READONLY, H = WP_FILE_ATTRIBUTE_HIDDEN,
                       S = WP_FILE_ATTRIBUTE_SYSTEM, D = WP_FILE_ATTRIBUTE_DIRECTORY,
                       P = WP_FILE_ATTRIBUTE_REPARSE_POINT;

    // What the volume says of itself.
    char volume[300] = "", fs_name[32] = "";
    CHECK(f, wp_get_volume_path_name(at("x").c_str(), volume, sizeof volume));
    if (own_volume) CHECK_EQ(f, std::string(volume), root + "\\");
    uint32_t serial = 0, max_component = 0, flags = 0;
    CHECK(f, wp_get_volume_information(volume, nullptr, 0, &serial, &max_component, &flags, fs_name, sizeof fs_name));
    CHECK_EQ(f, std::string(fs_name), std::string(ntfs_like ? "NTFS" : "FAT"));
    CHECK_EQ(f, uint64_t(flags & WP_FILE_SUPPORTS_REPARSE_POINTS), uint64_t(ntfs_like ? uint32_t(WP_FILE_SUPPORTS_REPARSE_POINTS) : 0u));
    CHECK_EQ(f, uint64_t(flags & (WP_FILE_CASE_PRESERVED_NAMES | WP_FILE_CASE_SENSITIVE_SEARCH)),
             uint64_t(WP_FILE_CASE_PRESERVED_NAMES));
    CHECK_EQ(f, uint64_t(max_component), uint64_t(255));
    uint32_t root_serial = 0;
    CHECK(f, wp_get_volume_information("Z:\\", nullptr, 0, &root_serial, nullptr, nullptr, nullptr, 0));
    if (own_volume) CHECK(f, serial != root_serial);
    char small[3];
    CHECK_FAILS(f, wp_get_volume_information(volume, nullptr, 0, nullptr, nullptr, nullptr, small, sizeof small),
                WIN_ERROR_INSUFFICIENT_BUFFER);
    uint64_t free_bytes = 0, total = 0;
    CHECK(f, wp_get_disk_free_space_ex(root.c_str(), &free_bytes, &total, nullptr));

    // Attributes: READONLY lives in the write bits; HIDDEN and SYSTEM need a place of their own.
    const std::string file = at("attr.txt");
    CHECK(f, write_new(file, "hello"));
    CHECK_EQ(f, uint64_t(wp_get_file_attributes(file.c_str())), uint64_t(A));
    if (ntfs_like) {
        CHECK(f, wp_set_file_attributes(file.c_str(), H | S | A));
        CHECK_EQ(f, uint64_t(wp_get_file_attributes(file.c_str())), uint64_t(H | S | A));
        CHECK(f, wp_set_file_attributes(file.c_str(), WP_FILE_ATTRIBUTE_NORMAL));
        CHECK_EQ(f, uint64_t(wp_get_file_attributes(file.c_str())), uint64_t(WP_FILE_ATTRIBUTE_NORMAL));
    } else {
        CHECK_FAILS(f, wp_set_file_attributes(file.c_str(), H | A), WIN_ERROR_NOT_SUPPORTED);
        CHECK_FAILS(f, wp_set_file_attributes(file.c_str(), S), WIN_ERROR_NOT_SUPPORTED);
        CHECK_EQ(f, uint64_t(wp_get_file_attributes(file.c_str())), uint64_t(A));
        // Nothing keeps a cleared ARCHIVE: the call succeeds and the default shows again.
        CHECK(f, wp_set_file_attributes(file.c_str(), WP_FILE_ATTRIBUTE_NORMAL));
        CHECK_EQ(f, uint64_t(wp_get_file_attributes(file.c_str())), uint64_t(A));
    }
    CHECK(f, wp_set_file_attributes(file.c_str(), R | A));
    CHECK_EQ(f, uint64_t(wp_get_file_attributes(file.c_str())), uint64_t(R | A));
    CHECK(f, !open_path(file, WP_GENERIC_WRITE, WP_OPEN_EXISTING, 0).valid());
    CHECK_EQ(f, uint64_t(file_last_error()), uint64_t(WIN_ERROR_ACCESS_DENIED));
    CHECK_FAILS(f, wp_delete_file(file.c_str()), WIN_ERROR_ACCESS_DENIED);
    // A refused attribute change leaves the file as it was, READONLY included.
    if (ntfs_like) {
        CHECK(f, wp_set_file_attributes(file.c_str(), H | A));
        CHECK_EQ(f, uint64_t(wp_get_file_attributes(file.c_str())), uint64_t(H | A));
    } else {
        CHECK_FAILS(f, wp_set_file_attributes(file.c_str(), H | A), WIN_ERROR_NOT_SUPPORTED);
        CHECK_EQ(f, uint64_t(wp_get_file_attributes(file.c_str())), uint64_t(R | A));
        CHECK(f, wp_set_file_attributes(file.c_str(), A));
    }
    CHECK_EQ(f, uint64_t(wp_get_file_attributes(file.c_str()) & R), uint64_t(0));
    CHECK_EQ(f, read_back(file), std::string("hello"));

    const std::string dir = at("attr-dir");
    CHECK(f, wp_create_directory(dir.c_str()));
    CHECK_EQ(f, uint64_t(wp_get_file_attributes(dir.c_str())), uint64_t(D));
    if (ntfs_like) {
        CHECK(f, wp_set_file_attributes(dir.c_str(), H));
        CHECK_EQ(f, uint64_t(wp_get_file_attributes(dir.c_str())), uint64_t(D | H));
    } else {
        CHECK_FAILS(f, wp_set_file_attributes(dir.c_str(), H), WIN_ERROR_NOT_SUPPORTED);
        CHECK_EQ(f, uint64_t(wp_get_file_attributes(dir.c_str())), uint64_t(D));
    }

    // Attributes given at creation: what can be kept is kept.
    const std::string created = at("created-ro.txt");
    CHECK(f, write_new(created, "ro", R | H));
    CHECK_EQ(f, uint64_t(wp_get_file_attributes(created.c_str())), uint64_t(ntfs_like ? (R | H | A) : (R | A)));
    CHECK(f, wp_set_file_attributes(created.c_str(), A));

    // Creation time: kept exactly where it has a place, otherwise refused
    // without touching the other times of the call.
    const std::string timed = at("times.txt");
    const uint64_t before = filetime_now() - 20000000;
    CHECK(f, write_new(timed, "t"));
    const uint64_t after = filetime_now() + 20000000;
    {
        file_handle h = open_path(timed, WP_FILE_READ_ATTRIBUTES);
        uint64_t c = 0;
        CHECK(f, wp_get_file_time(h.get(), &c, nullptr, nullptr));
        CHECK(f, c >= before && c <= after);
    }
    const uint64_t old_write = write_time_of(timed);
    const uint64_t creation = 130000000000000000ull + 1234567, write = 132000000000000000ull + 7654321;
    {
        file_handle h = open_path(timed, WP_FILE_WRITE_ATTRIBUTES);
        if (ntfs_like)
            CHECK(f, wp_set_file_time(h.get(), &creation, nullptr, &write));
        else
            CHECK_FAILS(f, wp_set_file_time(h.get(), &creation, nullptr, &write), WIN_ERROR_NOT_SUPPORTED);
    }
    wp_attribute_data d{};
    CHECK(f, wp_get_file_attributes_ex(timed.c_str(), &d));
    if (ntfs_like) {
        CHECK_EQ(f, d.creation_time, creation);
        CHECK_EQ(f, d.last_write_time, write);
    } else {
        CHECK(f, d.creation_time != creation);
        CHECK_EQ(f, d.last_write_time, old_write);
        // The times that have a place are still set, with a creation time of 0 ("leave it").
        file_handle h = open_path(timed, WP_FILE_WRITE_ATTRIBUTES);
        const uint64_t zero = 0;
        CHECK(f, wp_set_file_time(h.get(), &zero, nullptr, &write));
        h.reset();
        CHECK_EQ(f, write_time_of(timed), write);
        CHECK(f, wp_get_file_attributes_ex(timed.c_str(), &d));
        CHECK(f, d.creation_time != 0 && d.creation_time <= after);
    }

    // Reparse points: refused as FAT refuses them, and nothing is left changed.
    const std::string plain = at("plain"), empty = at("empty"), slot = at("slot");
    CHECK(f, write_new(plain, "data"));
    CHECK(f, write_new(empty, ""));
    CHECK(f, wp_create_directory(slot.c_str()));
    std::string got;
    CHECK_FAILS(f, device_control(plain, WP_FSCTL_GET_REPARSE_POINT, "", &got), WIN_ERROR_NOT_A_REPARSE_POINT);
    const std::string nfs = nfs_data("../target"), symlink = link_data(WP_IO_REPARSE_TAG_SYMLINK, at("plain")),
                      junction = link_data(WP_IO_REPARSE_TAG_MOUNT_POINT, at("attr-dir"));
    if (ntfs_like) {
        CHECK(f, device_control(plain, WP_FSCTL_SET_REPARSE_POINT, nfs));
        CHECK(f, device_control(plain, WP_FSCTL_GET_REPARSE_POINT, "", &got));
        CHECK_EQ(f, got, nfs);
        CHECK_EQ(f, uint64_t(wp_get_file_attributes(plain.c_str())), uint64_t(A | P));
        CHECK(f, device_control(plain, WP_FSCTL_DELETE_REPARSE_POINT, reparse_buffer(WP_IO_REPARSE_TAG_NFS, "")));
        CHECK(f, device_control(empty, WP_FSCTL_SET_REPARSE_POINT, symlink));
        CHECK_EQ(f, uint64_t(wp_get_file_attributes(empty.c_str())), uint64_t(P));
        CHECK(f, device_control(slot, WP_FSCTL_SET_REPARSE_POINT, junction));
        CHECK_EQ(f, uint64_t(wp_get_file_attributes(slot.c_str())), uint64_t(D | P));
        CHECK(f, wp_delete_file(empty.c_str()));
        CHECK(f, wp_remove_directory(slot.c_str()));
    } else {
        CHECK_FAILS(f, device_control(plain, WP_FSCTL_SET_REPARSE_POINT, nfs), WIN_ERROR_INVALID_FUNCTION);
        CHECK_FAILS(f, device_control(empty, WP_FSCTL_SET_REPARSE_POINT, symlink), WIN_ERROR_INVALID_FUNCTION);
        CHECK_FAILS(f, device_control(slot, WP_FSCTL_SET_REPARSE_POINT, junction), WIN_ERROR_INVALID_FUNCTION);
        CHECK_FAILS(f, device_control(plain, WP_FSCTL_DELETE_REPARSE_POINT, reparse_buffer(WP_IO_REPARSE_TAG_NFS, "")),
                    WIN_ERROR_NOT_A_REPARSE_POINT);
        CHECK_EQ(f, uint64_t(wp_get_file_attributes(empty.c_str())), uint64_t(A));
        CHECK_EQ(f, uint64_t(wp_get_file_attributes(slot.c_str())), uint64_t(D));
        CHECK(f, wp_delete_file(empty.c_str()));
        CHECK(f, wp_remove_directory(slot.c_str()));
    }
    CHECK_EQ(f, uint64_t(wp_get_file_attributes(plain.c_str())), uint64_t(A));
    CHECK_EQ(f, read_back(plain), std::string("data"));
    // The same through a directory link made on Linux: the volume is the one the path leads to.
    CHECK(f, wp_create_directory(at("linked").c_str()));
    CHECK(f, ::symlink("linked", (native_root + "/via").c_str()) == 0);
    CHECK(f, write_new(at("via\\inner"), ""));
    if (ntfs_like) {
        CHECK(f, device_control(at("via\\inner"), WP_FSCTL_SET_REPARSE_POINT, symlink));
        CHECK_EQ(f, uint64_t(wp_get_file_attributes(at("linked\\inner").c_str())), uint64_t(P));
    } else {
        CHECK_FAILS(f, device_control(at("via\\inner"), WP_FSCTL_SET_REPARSE_POINT, symlink), WIN_ERROR_INVALID_FUNCTION);
        CHECK_EQ(f, uint64_t(wp_get_file_attributes(at("linked\\inner").c_str())), uint64_t(A));
    }
    CHECK(f, wp_delete_file(at("via\\inner").c_str()));
    CHECK(f, wp_remove_directory(at("via").c_str()));
    CHECK(f, wp_remove_directory(at("linked").c_str()));

    // Ordinary work: write, read, rename, replace, copy, link, delete.
    CHECK(f, write_new(at("a.txt"), "first"));
    CHECK(f, write_new(at("b.txt"), "second"));
    CHECK(f, wp_move_file(at("a.txt").c_str(), at("moved.txt").c_str()));
    CHECK_EQ(f, uint64_t(wp_get_file_attributes(at("a.txt").c_str())), uint64_t(WP_INVALID_FILE_ATTRIBUTES));
    CHECK_EQ(f, read_back(at("moved.txt")), std::string("first"));
    CHECK_FAILS(f, wp_move_file_ex(at("b.txt").c_str(), at("moved.txt").c_str(), 0), WIN_ERROR_ALREADY_EXISTS);
    CHECK(f, wp_move_file_ex(at("b.txt").c_str(), at("moved.txt").c_str(), WP_MOVEFILE_REPLACE_EXISTING));
    CHECK_EQ(f, read_back(at("moved.txt")), std::string("second"));
    CHECK(f, wp_copy_file(at("moved.txt").c_str(), at("copy.txt").c_str(), true));
    CHECK_EQ(f, read_back(at("copy.txt")), std::string("second"));
    CHECK(f, wp_create_hard_link(at("link.txt").c_str(), at("copy.txt").c_str()));
    {
        file_handle h = open_path(at("link.txt"), WP_GENERIC_READ | WP_GENERIC_WRITE);
        wp_file_information info{};
        CHECK(f, wp_get_file_information_by_handle(h.get(), &info));
        CHECK_EQ(f, uint64_t(info.number_of_links), uint64_t(2));
        CHECK_EQ(f, uint64_t(info.volume_serial), uint64_t(serial));
        CHECK_EQ(f, uint64_t(wp_set_file_pointer(h.get(), 0, nullptr, WP_FILE_END)), uint64_t(6));
        uint32_t n = 0;
        CHECK(f, wp_write_file(h.get(), "+more", 5, &n));
    }
    CHECK_EQ(f, read_back(at("copy.txt")), std::string("second+more"));
    for (const char* name : {"moved.txt", "copy.txt", "link.txt"}) CHECK(f, wp_delete_file(at(name).c_str()));
    CHECK_EQ(f, uint64_t(wp_get_file_attributes(at("copy.txt").c_str())), uint64_t(WP_INVALID_FILE_ATTRIBUTES));

    // Names are found whatever their case, and keep the case they were given.
    CHECK(f, wp_create_directory(at("SubDir").c_str()));
    CHECK(f, write_new(at("SubDir\\MixedCase.TXT"), "mixed"));
    CHECK_EQ(f, read_back(at("subdir\\mixedcase.txt")), std::string("mixed"));
    CHECK_EQ(f, uint64_t(wp_get_file_attributes(at("SUBDIR\\MIXEDCASE.TXT").c_str())), uint64_t(A));
    CHECK(f, !open_path(at("subDIR\\mixedCASE.txt"), WP_GENERIC_WRITE, WP_CREATE_NEW, 0).valid());
    CHECK_EQ(f, uint64_t(file_last_error()), uint64_t(WIN_ERROR_FILE_EXISTS));
    CHECK(f, names_found(at("SUBDIR\\mixed*")) == std::vector<std::string>{"MixedCase.TXT"});
    CHECK(f, wp_move_file(at("subdir\\MIXEDCASE.txt").c_str(), at("SUBDIR\\mixedcase.txt").c_str()));
    CHECK(f, names_found(at("subdir\\*.TXT")) == std::vector<std::string>{"mixedcase.txt"});
    CHECK(f, wp_delete_file(at("SUBDIR\\MIXEDCASE.TXT").c_str()));
    CHECK(f, wp_remove_directory(at("subdir").c_str()));
    CHECK_EQ(f, uint64_t(wp_get_file_attributes(at("SubDir").c_str())), uint64_t(WP_INVALID_FILE_ATTRIBUTES));
}

long mount_call(const char* source, const char* target, const char* type, unsigned long flags, const char* data) {
    return ::syscall(SYS_mount, source, target, type, flags, data);
}

// The child: a private mount namespace with ramfs on `dir`, then the checks.
[[noreturn]] void run_on_ramfs(int report_fd, const std::string& dir) {
    findings f;
    f.fd = report_fd;
    const auto skip = [&](const char* what) {
        const std::string s = std::string(what) + ": " + std::strerror(errno);
        if (::write(report_fd, s.data(), s.size()) < 0) {}
        ::_exit(kChildSkips);
    };
    if (::unshare(CLONE_NEWNS) != 0) skip("unshare(CLONE_NEWNS)");
    if (mount_call(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) skip("making / private");
    if (mount_call("tervalo-noxattr", dir.c_str(), "ramfs", 0, "mode=0755") != 0) skip("mounting ramfs");
    char probe = '1';
    if (::setxattr(dir.c_str(), "user.tervalo.probe", &probe, 1, 0) == 0) {
        errno = 0;
        skip("ramfs keeps user extended attributes on this kernel");
    }
    // A user namespace without a full id map may mount but not create.
    const std::string probe_file = dir + "/probe";
    if (::mknod(probe_file.c_str(), S_IFREG | 0600, 0) != 0) skip("creating a file on the ramfs");
    ::unlink(probe_file.c_str());
    check_volume(f, dir, false, true);
    ::_exit(f.text.empty() ? 0 : 1);
}

std::string make_temp_dir() {
    char name[] = "/tmp/tervalo-noxattr-XXXXXX";
    return ::mkdtemp(name) ? std::string(name) : std::string();
}

TEST(volume_without_xattrs, RamfsVolumeReportsAndBehavesLikeFat) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting ramfs needs root";
    const std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty()) << std::strerror(errno);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        run_on_ramfs(fds[1], dir);
    }
    ::close(fds[1]);
    std::string text;
    char buf[512];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) text.append(buf, size_t(n));
    ::close(fds[0]);
    int status = 0;
    const pid_t waited = child > 0 ? ::waitpid(child, &status, 0) : -1;
    // The mount went with the child's namespace: only the empty folder is left here.
    EXPECT_EQ(::rmdir(dir.c_str()), 0) << dir << ": " << std::strerror(errno);
    ASSERT_GT(child, 0) << "fork: " << std::strerror(errno);
    ASSERT_EQ(waited, child);
    if (WIFEXITED(status) && WEXITSTATUS(status) == kChildSkips) GTEST_SKIP() << text;
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status) << "\n" << text;
    EXPECT_EQ(WEXITSTATUS(status), 0) << text;
    EXPECT_EQ(text, "");
}

TEST(volume_without_xattrs, FolderWithXattrsReportsNtfs) {
    const std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty()) << std::strerror(errno);
    char probe = '1';
    const bool keeps = ::setxattr(dir.c_str(), "user.tervalo.probe", &probe, 1, 0) == 0;
    const int probe_error = errno;
    if (keeps) ::removexattr(dir.c_str(), "user.tervalo.probe");
    findings f;
    if (keeps) check_volume(f, dir, true, false);
    remove_tree(windows_form(dir));
    struct stat st;
    if (::lstat(dir.c_str(), &st) == 0) {
        ADD_FAILURE() << "removing through the layer left " << dir;
        if (std::system(("rm -rf '" + dir + "'").c_str()) != 0) ADD_FAILURE() << "rm -rf " << dir;
    }
    if (!keeps) GTEST_SKIP() << dir << " keeps no user extended attributes: " << std::strerror(probe_error);
    EXPECT_EQ(f.text, "");
}

}  // namespace
