// classify_reparse_data on buffers built here: every kind, the strip rules,
// and data whose lengths lie.
#include "tests/attrs/attrs_env.h"

#include <cstring>
#include <random>
#include <vector>

namespace {

reparse_info classify(const std::string& data, std::string& target, bool strip, size_t size = 2048) {
    std::string buf(size, '\x55');
    const reparse_info r = classify_reparse_data(reinterpret_cast<const uint8_t*>(data.data()), data.size(),
                                                 buf.data(), buf.size(), strip);
    target = buf.c_str();
    return r;
}

TEST(attr_reparse_data, JunctionStrippedAndUnstripped) {
    const std::string d = link_reparse_data(WP_IO_REPARSE_TAG_MOUNT_POINT, "\\??\\C:\\data\\x", "C:\\data\\x", false);
    std::string t;
    EXPECT_EQ(classify(d, t, true).kind, REPARSE_JUNCTION);
    EXPECT_EQ(t, "C:\\data\\x");
    EXPECT_EQ(classify(d, t, false).kind, REPARSE_JUNCTION);
    EXPECT_EQ(t, "\\\\?\\C:\\data\\x");
}

TEST(attr_reparse_data, AbsoluteAndRelativeLinks) {
    std::string t;
    const std::string abs = link_reparse_data(WP_IO_REPARSE_TAG_SYMLINK, "\\??\\Z:\\tmp\\t\xc3\xa9", "Z:\\tmp\\t", false);
    EXPECT_EQ(classify(abs, t, true).kind, REPARSE_ABSOLUTE_LINK);
    EXPECT_EQ(t, "Z:\\tmp\\t\xc3\xa9");
    const std::string rel = link_reparse_data(WP_IO_REPARSE_TAG_SYMLINK, "..\\lib", "..\\lib", true);
    EXPECT_EQ(classify(rel, t, true).kind, REPARSE_RELATIVE_LINK);
    EXPECT_EQ(t, "..\\lib");
    // A relative name is taken whole even when it looks prefixed.
    const std::string odd = link_reparse_data(WP_IO_REPARSE_TAG_SYMLINK, "\\??\\odd\\name", "", true);
    EXPECT_EQ(classify(odd, t, true).kind, REPARSE_RELATIVE_LINK);
    EXPECT_EQ(t, "\\??\\odd\\name");
}

TEST(attr_reparse_data, ShortOrUnprefixedNamesAreNotStripped) {
    std::string t;
    // "\??\" alone is 8 bytes of UTF-16: not longer than 9, kept.
    EXPECT_EQ(classify(link_reparse_data(WP_IO_REPARSE_TAG_MOUNT_POINT, "\\??\\", "", false), t, true).kind,
              REPARSE_JUNCTION);
    EXPECT_EQ(t, "\\??\\");
    EXPECT_EQ(classify(link_reparse_data(WP_IO_REPARSE_TAG_SYMLINK, "\\??\\C", "", false), t, true).kind,
              REPARSE_ABSOLUTE_LINK);
    EXPECT_EQ(t, "C");
    // No prefix: nothing to drop.
    EXPECT_EQ(classify(link_reparse_data(WP_IO_REPARSE_TAG_SYMLINK, "C:\\plain\\path", "", false), t, true).kind,
              REPARSE_ABSOLUTE_LINK);
    EXPECT_EQ(t, "C:\\plain\\path");
}

TEST(attr_reparse_data, NfsKinds) {
    std::string t;
    EXPECT_EQ(classify(nfs_reparse_link("../lib"), t, true).kind, REPARSE_NFS_LINK);
    EXPECT_EQ(t, "../lib");
    reparse_info r = classify(nfs_reparse_device(0x524843, 8, 1), t, true);
    EXPECT_EQ(r.kind, REPARSE_NFS_CHR);
    EXPECT_EQ(r.major, 8u);
    EXPECT_EQ(r.minor, 1u);
    r = classify(nfs_reparse_device(0x4B4E42, 0xFFFFFFFF, 0x12345678), t, true);
    EXPECT_EQ(r.kind, REPARSE_NFS_BLK);
    EXPECT_EQ(r.major, 0xFFFFFFFFu);
    EXPECT_EQ(r.minor, 0x12345678u);
    // "BLK" is not the block device type, and a link needs text.
    EXPECT_EQ(classify(nfs_reparse_device(0x4B4C42, 1, 2), t, true).kind, REPARSE_NONE);
    EXPECT_EQ(classify(nfs_reparse_link(""), t, true).kind, REPARSE_NONE);
    // A device record of the wrong length.
    std::string longer = nfs_reparse_device(0x524843, 1, 2) + "xxxx";
    longer[4] = 20;
    EXPECT_EQ(classify(longer, t, true).kind, REPARSE_NONE);
}

TEST(attr_reparse_data, OtherTagsAreNone) {
    std::string t;
    std::string d = link_reparse_data(WP_IO_REPARSE_TAG_SYMLINK, "..\\x", "", true);
    d[0] = 0x1A;  // some other tag
    EXPECT_EQ(classify(d, t, true).kind, REPARSE_NONE);
    EXPECT_EQ(t, "");
}

TEST(attr_reparse_data, LyingLengthsAreRefused) {
    std::string t;
    const std::string good = link_reparse_data(WP_IO_REPARSE_TAG_MOUNT_POINT, "\\??\\C:\\data", "C:\\data", false);
    // Data length beyond the buffer.
    std::string d = good;
    d[4] = char(0xFF);
    d[5] = 0x7F;
    EXPECT_EQ(classify(d, t, true).kind, REPARSE_NONE);
    // Every truncation of the buffer is refused or stays inside it.
    for (size_t n = 0; n < good.size(); ++n) {
        const reparse_info r = classify(good.substr(0, n), t, true);
        EXPECT_EQ(r.kind, REPARSE_NONE) << n;
    }
    // Name offset or length pointing past the data.
    d = good;
    d[8] = char(0xF0);
    EXPECT_EQ(classify(d, t, true).kind, REPARSE_NONE);
    d = good;
    d[10] = char(0xF0);
    d[11] = 0x01;
    EXPECT_EQ(classify(d, t, true).kind, REPARSE_NONE);
    // Symlink data too short for its flags word.
    std::string s;
    s += std::string("\x0c\x00\x00\xa0", 4);
    s += std::string("\x08\x00\x00\x00", 4);
    s += std::string(8, '\0');
    EXPECT_EQ(classify(s, t, true).kind, REPARSE_NONE);
    EXPECT_EQ(classify_reparse_data(nullptr, 100, nullptr, 0, true).kind, REPARSE_NONE);
}

TEST(attr_reparse_data, TargetIsCutToTheBuffer) {
    std::string t;
    const std::string d = nfs_reparse_link("abc\xc3\xa9xyz");
    EXPECT_EQ(classify(d, t, true, 5).kind, REPARSE_NFS_LINK);
    EXPECT_EQ(t, "abc");  // the two-byte character does not fit whole with the NUL
    EXPECT_EQ(classify(d, t, true, 6).kind, REPARSE_NFS_LINK);
    EXPECT_EQ(t, "abc\xc3\xa9");
    EXPECT_EQ(classify(d, t, true, 1).kind, REPARSE_NFS_LINK);
    EXPECT_EQ(t, "");
}

}  // namespace

namespace {

// Damaged copies of every kind: whatever the bytes, the parser stays inside
// them (the sanitizer build checks the reads) and yields a known kind with a
// terminated target.
TEST(attr_reparse_data, DamagedBuffersStayInBounds) {
    const std::string seeds[] = {
        link_reparse_data(WP_IO_REPARSE_TAG_MOUNT_POINT, "\\??\\C:\\data\\x", "C:\\data\\x", false),
        link_reparse_data(WP_IO_REPARSE_TAG_SYMLINK, "\\??\\Z:\\t", "Z:\\t", false),
        link_reparse_data(WP_IO_REPARSE_TAG_SYMLINK, "..\\lib", "..\\lib", true),
        nfs_reparse_link("../lib"),
        nfs_reparse_device(0x524843, 1, 2),
        nfs_reparse_device(0x4B4E42, 3, 4),
    };
    std::mt19937 rng(7);
    for (int round = 0; round < 20000; ++round) {
        std::string d = seeds[size_t(rng()) % 6];
        const int edits = 1 + int(rng() % 4);
        for (int e = 0; e < edits; ++e) d[rng() % d.size()] = char(rng());
        if (rng() % 4 == 0) d.resize(rng() % (d.size() + 1));
        // An exact-size heap copy, so a read past the end is caught.
        std::vector<uint8_t> exact(d.begin(), d.end());
        char target[32];
        const reparse_info r =
            classify_reparse_data(exact.empty() ? nullptr : exact.data(), exact.size(), target, sizeof target, rng() % 2);
        ASSERT_TRUE(r.kind == REPARSE_NONE || r.kind == REPARSE_JUNCTION || r.kind == REPARSE_ABSOLUTE_LINK ||
                    r.kind == REPARSE_RELATIVE_LINK || r.kind == REPARSE_NFS_LINK || r.kind == REPARSE_NFS_CHR ||
                    r.kind == REPARSE_NFS_BLK);
        ASSERT_LT(std::strlen(target), sizeof target);
    }
}

}  // namespace
