#include "tests/inode/inode_test_env.h"

#include "platform/path.h"
#include "quen/inode/inode_tree_internal.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

scratch_folder make_scratch_folder(const std::string& tag) {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const fs::path p = fs::temp_directory_path() /
                       ("tervalo-inode-" + tag + "-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    fs::create_directories(p);
    scratch_folder f;
    f.native = p.string();
    std::string form = f.native;
    if (form.front() == '/') form += "/";
    char buf[2048];
    path_from_setting(form.c_str(), buf, sizeof buf);
    f.windows = buf;
    if (f.windows.empty() || f.windows.back() != '\\') f.windows += '\\';
    return f;
}

void remove_scratch_folder(const scratch_folder& f) {
    std::error_code ec;
    fs::remove_all(f.native, ec);
}

void inode_test::SetUp() {
    dir = make_scratch_folder(::testing::UnitTest::GetInstance()->current_test_info()->name());
    table_path = dir.windows + "inodes.nfs";
    table_native = (fs::path(dir.native) / "inodes.nfs").string();
}

void inode_test::TearDown() {
    inode_table_close();
    remove_scratch_folder(dir);
}

bool inode_test::open_table(uint32_t records, bool reset, bool check) {
    inode_table_options o;
    o.path = table_path.c_str();
    o.initial_records = records;
    o.spin_count = 100;
    o.reset = reset;
    o.check_vanished = check;
    return inode_table_open_with(o);
}

std::vector<uint8_t> inode_test::read_file() const {
    std::ifstream in(table_native, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void inode_test::write_file(const std::vector<uint8_t>& bytes) const {
    std::ofstream out(table_native, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<std::pair<uint32_t, uint32_t>> free_runs() {
    std::vector<std::pair<uint32_t, uint32_t>> runs;
    const inode_table& t = g_inode_table;
    uint32_t r = table_head()->free_head;
    while (r != 0 && runs.size() <= t.total / kBlockSize) {
        if (r % kBlockSize || r > t.total - kBlockSize) {
            runs.push_back({r, 0xFFFFFFFF});
            break;
        }
        const free_run* run = reinterpret_cast<const free_run*>(t.base + r);
        runs.push_back({r, run->size});
        r = run->next;
    }
    return runs;
}

uint32_t free_bytes() {
    uint32_t sum = 0;
    for (auto& r : free_runs()) sum += r.second;
    return sum;
}

std::vector<std::string> child_names(uint32_t dir) {
    std::vector<std::string> names;
    inode_table_guard g;
    uint32_t c = dir ? record_at(dir)->child : root_list_head();
    char buf[kNameMax + 1];
    while (c != 0 && names.size() < 100000) {
        const inode_record* r = record_at(c);
        if (!r) break;
        names.emplace_back(buf, read_name(r, buf));
        c = r->next;
    }
    return names;
}

std::string path_of(uint32_t inode) {
    char buf[kInodePathSize];
    const size_t n = inode_path(inode, buf);
    return std::string(buf, n);
}

uint32_t enter(uint32_t dir, const std::string& name) { return inode_enter(dir, name.data(), name.size()); }
uint32_t lookup(uint32_t dir, const std::string& name) { return inode_lookup(dir, name.data(), name.size()); }

uint32_t get32(const std::vector<uint8_t>& b, size_t at) {
    uint32_t v = 0;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }
