// The pure rules: time and id conversions, the status table, the marker
// bits, saved attributes and the special-file forms.
#include "quen/config/settings.h"
#include "quen/fs/attr.h"
#include "quen/fs/nfs_status.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

namespace {

// ---- times ----------------------------------------------------------------

// Days from 1601-01-01 to a date of the proleptic Gregorian calendar,
// counted day by year and month rather than by the epoch constant.
uint64_t days_since_1601(int year, int month, int day) {
    static const int month_days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    uint64_t days = 0;
    for (int y = 1601; y < year; ++y) days += (y % 4 == 0 && (y % 100 != 0 || y % 400 == 0)) ? 366 : 365;
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    for (int m = 1; m < month; ++m) days += uint64_t(month_days[m - 1] + (m == 2 && leap ? 1 : 0));
    return days + uint64_t(day - 1);
}

uint64_t filetime_of(int year, int month, int day, int h, int m, int s) {
    return ((days_since_1601(year, month, day) * 86400 + uint64_t(h * 3600 + m * 60 + s)) * 10000000ull);
}

TEST(attr_times, FiletimeToUnixAtKnownDates) {
    EXPECT_EQ(filetime_to_unix(filetime_of(1970, 1, 1, 0, 0, 0)).seconds, 0u);
    EXPECT_EQ(filetime_of(2000, 1, 1, 0, 0, 0), 125911584000000000ull);  // the published value
    EXPECT_EQ(filetime_to_unix(125911584000000000ull).seconds, 946684800u);
    EXPECT_EQ(filetime_to_unix(filetime_of(2026, 12, 8, 4, 0, 0)).seconds, 1796702400u);
    // Ticks below a second are dropped, nanoseconds are always 0.
    const nfs_time t = filetime_to_unix(125911584000000000ull + 9999999);
    EXPECT_EQ(t.seconds, 946684800u);
    EXPECT_EQ(t.nseconds, 0u);
}

TEST(attr_times, OutOfRangeTimesAreClampedNotWrapped) {
    EXPECT_EQ(filetime_to_unix(0).seconds, 0u);
    EXPECT_EQ(filetime_to_unix(filetime_of(1969, 12, 31, 23, 59, 59)).seconds, 0u);
    EXPECT_EQ(filetime_to_unix(159394408950000000ull).seconds, 0xFFFFFFFFu);  // 2106-02-07 06:28:15
    EXPECT_EQ(filetime_to_unix(159394408950000000ull + 10000000).seconds, 0xFFFFFFFFu);
    EXPECT_EQ(filetime_to_unix(~0ull).seconds, 0xFFFFFFFFu);
}

TEST(attr_times, UnixToFiletime) {
    EXPECT_EQ(unix_to_filetime(0, 0), filetime_of(1970, 1, 1, 0, 0, 0));
    EXPECT_EQ(unix_to_filetime(946684800, 0), 125911584000000000ull);
    EXPECT_EQ(unix_to_filetime(946684800, 123456789), 125911584000000000ull + 1234567);
    EXPECT_EQ(unix_to_filetime(0xFFFFFFFFu, 999999999), 159394408950000000ull + 9999999);
    // And back.
    EXPECT_EQ(filetime_to_unix(unix_to_filetime(1796702400, 5)).seconds, 1796702400u);
}

// ---- fileid_hash ------------------------------------------------------------------

// 64-bit product modulo 2^64 from 16-bit limbs.
uint64_t mul_by_limbs(uint64_t a, uint64_t b) {
    uint64_t r = 0;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; i + j < 4; ++j) {
            const uint64_t part = ((a >> (16 * i)) & 0xFFFF) * ((b >> (16 * j)) & 0xFFFF);
            r += part << (16 * (i + j));
        }
    return r;
}

uint32_t reference_hash(uint64_t v) {
    uint64_t shifted = 0;
    for (int bit = 23; bit < 64; ++bit)
        if (v & (1ull << bit)) shifted |= 1ull << (bit - 23);
    const uint64_t p = mul_by_limbs(v ^ shifted, 0x2127599BF4325C37ull);
    uint32_t high = 0;
    for (int bit = 47; bit < 64; ++bit)
        if (p & (1ull << bit)) high |= 1u << (bit - 47);
    return uint32_t(p & 0xFFFFFFFFu) ^ high;
}

TEST(attr_fileid_hash, KnownValues) {
    // Computed with arbitrary-precision integers outside this code.
    EXPECT_EQ(fileid_hash(0), 0u);
    EXPECT_EQ(fileid_hash(1), 0xf4321e79u);
    EXPECT_EQ(fileid_hash(0x123456789abcdef0ull), 0xeb1f1c77u);
    EXPECT_EQ(fileid_hash(0xffffffffffffffffull), 0x1368fu);
    EXPECT_EQ(fileid_hash(0x0000000100000020ull), 0xeb033b41u);
    EXPECT_EQ(fileid_hash(4096), 0x25c39b33u);
}

TEST(attr_fileid_hash, MatchesLimbArithmetic) {
    std::mt19937_64 rng(12345);
    for (int i = 0; i < 2000; ++i) {
        const uint64_t v = rng();
        ASSERT_EQ(fileid_hash(v), reference_hash(v)) << std::hex << v;
    }
}

// ---- status table ---------------------------------------------------------------------

TEST(attr_status, EveryRowOfTheTable) {
    const struct {
        uint32_t win32, nfs;
    } rows[] = {
        {2, 2}, {3, 2}, {15, 2}, {18, 2}, {161, 2},
        {5, 13}, {16, 13}, {82, 13}, {108, 13},
        {19, 30}, {55, 19}, {80, 17}, {183, 17}, {112, 28}, {145, 66}, {206, 63}, {267, 20}, {1816, 69},
    };
    for (const auto& r : rows) EXPECT_EQ(win32_to_nfs_status(r.win32), r.nfs) << "win32 " << r.win32;
    for (uint32_t e = 20; e <= 36; ++e) EXPECT_EQ(win32_to_nfs_status(e), 13u) << "win32 " << e;
}

TEST(attr_status, EverythingElseIsIo) {
    for (uint32_t e : {0u, 1u, 4u, 6u, 14u, 17u, 37u, 38u, 50u, 54u, 56u, 81u, 83u, 87u, 107u, 109u, 111u, 113u,
                       144u, 146u, 160u, 162u, 182u, 184u, 205u, 207u, 266u, 268u, 1815u, 1817u, 0xFFFFFFFFu})
        EXPECT_EQ(win32_to_nfs_status(e), 5u) << "win32 " << e;
}

// ---- markers, saved attributes ------------------------------------------------------------

TEST(attr_markers, X2systemSwapsTheMarkers) {
    const uint32_t saved = g_settings.record.x2system;
    g_settings.record.x2system = 0;
    EXPECT_EQ(exec_marker(), uint32_t(WP_FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(special_marker(), uint32_t(WP_FILE_ATTRIBUTE_SYSTEM));
    g_settings.record.x2system = 1;
    EXPECT_EQ(exec_marker(), uint32_t(WP_FILE_ATTRIBUTE_SYSTEM));
    EXPECT_EQ(special_marker(), uint32_t(WP_FILE_ATTRIBUTE_HIDDEN));
    g_settings.record.x2system = saved;
}

TEST(attr_saved, CreationTimeForm) {
    EXPECT_EQ(saved_attributes_time(0100644, 1000, 1000), 0x000081A403E803E8ull);
    EXPECT_TRUE(is_saved_attributes(0x000081A403E803E8ull));
    EXPECT_TRUE(is_saved_attributes(0x0000FFFFFFFFFFFFull));
    EXPECT_FALSE(is_saved_attributes(0x0001000000000000ull));
    // 0xFFFF in the high word is less than a year after 1601.
    EXPECT_TRUE(is_saved_attributes(filetime_of(1601, 11, 1, 0, 0, 0)));
    EXPECT_FALSE(is_saved_attributes(filetime_of(1602, 1, 1, 0, 0, 0)));
    EXPECT_FALSE(is_saved_attributes(filetime_of(2000, 1, 1, 0, 0, 0)));
}

TEST(attr_saved, TypeOfMode) {
    EXPECT_EQ(type_of_mode(0020644), uint32_t(NF_CHR));
    EXPECT_EQ(type_of_mode(0040755), uint32_t(NF_DIR));
    EXPECT_EQ(type_of_mode(0060600), uint32_t(NF_BLK));
    EXPECT_EQ(type_of_mode(0100644), uint32_t(NF_REG));
    EXPECT_EQ(type_of_mode(0120777), uint32_t(NF_LNK));
    EXPECT_EQ(type_of_mode(0140755), uint32_t(NF_SOCK));
    EXPECT_EQ(type_of_mode(0010644), uint32_t(NF_FIFO));
    EXPECT_EQ(type_of_mode(0000644), uint32_t(NF_NONE));
    EXPECT_EQ(type_of_mode(0030644), uint32_t(NF_NONE));
    EXPECT_EQ(type_of_mode(0170644), uint32_t(NF_NONE));
}

// ---- special-file record ---------------------------------------------------------------------

TEST(attr_special, RecordRoundTripAndLayout) {
    uint8_t r[kSpecialRecordSize];
    make_special_record(NF_CHR, 0x01020304, 7, 0640, r);
    const uint8_t want[32] = {0, 0, 0, 0, 's', 'p', 'e', 'c', 'd', 'a', 't', 'a', 0, 0, 0, 0,
                              4, 0, 0, 0, 4, 3, 2, 1, 7, 0, 0, 0, 0xA0, 1, 0, 0};
    EXPECT_EQ(std::memcmp(r, want, 32), 0);
    uint32_t type = 0, major = 0, minor = 0, perms = 0;
    ASSERT_TRUE(parse_special_record(r, 32, type, major, minor, perms));
    EXPECT_EQ(type, uint32_t(NF_CHR));
    EXPECT_EQ(major, 0x01020304u);
    EXPECT_EQ(minor, 7u);
    EXPECT_EQ(perms, 0640u);
}

TEST(attr_special, RejectsOtherShapes) {
    uint8_t r[33];
    uint32_t type, major, minor, perms;
    make_special_record(NF_BLK, 1, 2, 0777, r);
    r[32] = 0;
    EXPECT_TRUE(parse_special_record(r, 32, type, major, minor, perms));
    EXPECT_EQ(type, uint32_t(NF_BLK));
    EXPECT_FALSE(parse_special_record(r, 31, type, major, minor, perms));
    EXPECT_FALSE(parse_special_record(r, 33, type, major, minor, perms));
    r[28] = 0xFF;  // permission word bits above 9 are ignored
    r[29] = 0xFF;
    EXPECT_TRUE(parse_special_record(r, 32, type, major, minor, perms));
    EXPECT_EQ(perms, 0777u);
    r[0] = 1;
    EXPECT_FALSE(parse_special_record(r, 32, type, major, minor, perms));
    make_special_record(NF_BLK, 1, 2, 0777, r);
    r[11] = 'A';
    EXPECT_FALSE(parse_special_record(r, 32, type, major, minor, perms));
    for (uint32_t t : {0u, 1u, 2u, 5u, 6u, 7u}) {
        make_special_record(t, 1, 2, 0777, r);
        EXPECT_FALSE(parse_special_record(r, 32, type, major, minor, perms)) << t;
    }
}

bool link_text(const std::string& s) { return is_symlink_text(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

TEST(attr_special, SymlinkText) {
    EXPECT_TRUE(link_text("../lib"));
    EXPECT_TRUE(link_text("/"));
    EXPECT_TRUE(link_text("a b~\x7f\xc3\xa9"));
    EXPECT_FALSE(link_text(""));
    EXPECT_FALSE(link_text(std::string("a\0b", 3)));
    EXPECT_FALSE(link_text("line\n"));
    EXPECT_FALSE(link_text("tab\there"));
    // The first component may have 513 bytes, later ones 512.
    EXPECT_TRUE(link_text(std::string(513, 'a')));
    EXPECT_FALSE(link_text(std::string(514, 'a')));
    EXPECT_TRUE(link_text("x/" + std::string(512, 'a')));
    EXPECT_FALSE(link_text("x/" + std::string(513, 'a')));
    EXPECT_TRUE(link_text(std::string(500, 'a') + "/" + std::string(512, 'b') + "/c"));
    // Only the first 1032 bytes count.
    const std::string first = "/" + std::string(512, 'a') + "/" + std::string(512, 'b') + "/ccccc";
    ASSERT_EQ(first.size(), kSpecialReadLimit);
    EXPECT_TRUE(link_text(first + "\n"));
    EXPECT_FALSE(link_text(first.substr(0, 1031) + "\n"));
}

}  // namespace
