// Primitive decoders: exact bounds, padding, handle sizes, names and sattr.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>

#include "rpc/xdr.h"
#include "unit_support.h"

namespace {

using decoder = std::function<bool(xdr_cursor*)>;

// Runs `decode` on every truncation of `item`, each held in a buffer of
// exactly that size behind one leading word, so a read past the end shows
// under the address sanitizer. Shorter inputs must fail and leave the
// position; the whole item must decode and advance by all of its words.
void expect_needs_every_byte(const bytes& item, const decoder& decode) {
    ASSERT_EQ(item.size() % 4, 0u);
    for (size_t len = 0; len <= item.size(); ++len) {
        size_t total = 4 + len;
        std::unique_ptr<uint8_t[]> buf(new uint8_t[total]);
        std::memset(buf.get(), 0xEE, 4);
        if (len) std::memcpy(buf.get() + 4, item.data(), len);
        xdr_cursor c{1, int32_t(total), buf.get()};
        bool ok = decode(&c);
        if (len < item.size()) {
            EXPECT_FALSE(ok) << "decoded from " << len << " of " << item.size() << " bytes";
            EXPECT_EQ(c.pos, 1) << "position moved on failure at " << len << " bytes";
        } else {
            EXPECT_TRUE(ok) << "whole item of " << len << " bytes refused";
            EXPECT_EQ(c.pos, 1 + int32_t(item.size() / 4));
        }
    }
}

xdr_cursor cursor_on(const bytes& b) { return xdr_cursor{0, int32_t(b.size()), b.data()}; }

TEST(XdrIntegers, U32AndU64ReadNetworkOrderAtExactBounds) {
    uint32_t v = 0;
    expect_needs_every_byte(wire{}.u32(0x81020304).b, [&](xdr_cursor* c) { return xdr_get_u32(c, &v); });
    EXPECT_EQ(v, 0x81020304u);
    uint64_t w = 0;
    expect_needs_every_byte(wire{}.u64(0x0102030405060708ull).b, [&](xdr_cursor* c) { return xdr_get_u64(c, &w); });
    EXPECT_EQ(w, 0x0102030405060708ull);
}

TEST(XdrIntegers, ConsecutiveReadsAdvanceWordByWord) {
    bytes b = wire{}.u32(1).u64(2).u32(3).b;
    xdr_cursor c = cursor_on(b);
    uint32_t a = 0, d = 0;
    uint64_t m = 0;
    ASSERT_TRUE(xdr_get_u32(&c, &a));
    ASSERT_TRUE(xdr_get_u64(&c, &m));
    ASSERT_TRUE(xdr_get_u32(&c, &d));
    EXPECT_EQ(a, 1u);
    EXPECT_EQ(m, 2u);
    EXPECT_EQ(d, 3u);
    EXPECT_EQ(c.pos, 4);
    EXPECT_FALSE(xdr_get_u32(&c, &a));
    EXPECT_EQ(c.pos, 4);
}

TEST(XdrIntegers, NegativePositionReadsNothing) {
    bytes b = wire{}.u32(1).u32(2).u32(3).u32(4).u32(5).u32(6).u32(7).u32(8).b;
    xdr_cursor c{-1, int32_t(b.size()), b.data() + 4};
    uint32_t v;
    uint64_t w;
    uint8_t raw[4];
    xdr_sattr s;
    EXPECT_FALSE(xdr_get_u32(&c, &v));
    EXPECT_FALSE(xdr_get_u64(&c, &w));
    EXPECT_FALSE(xdr_get_bytes(&c, raw, 4));
    EXPECT_FALSE(xdr_get_sattr2(&c, &s));
    EXPECT_FALSE(xdr_get_sattr3(&c, &s, 0));
    EXPECT_EQ(c.pos, -1);
}

TEST(XdrBytes, PaddingMustBePresent) {
    uint8_t out[8] = {};
    expect_needs_every_byte(wire{}.raw("abcde\0\0\0", 8).b, [&](xdr_cursor* c) { return xdr_get_bytes(c, out, 5); });
    EXPECT_EQ(std::memcmp(out, "abcde", 5), 0);
}

TEST(XdrBytes, HugeCountsFailWithoutCopying) {
    bytes b(64, 0x55);
    uint8_t out[4] = {1, 2, 3, 4};
    for (uint32_t n : {0xFFFFFFFFu, 0xFFFFFFFDu, 0x80000000u, 0x7FFFFFFFu, 65u}) {
        xdr_cursor c = cursor_on(b);
        EXPECT_FALSE(xdr_get_bytes(&c, out, n)) << n;
        EXPECT_EQ(c.pos, 0);
    }
    EXPECT_EQ(out[0], 1);
}

TEST(XdrHandles, Version2HandleIsThirtyTwoBytes) {
    bytes fh(32);
    for (size_t i = 0; i < fh.size(); ++i) fh[i] = uint8_t(i + 1);
    uint8_t out[FH2_SIZE] = {};
    expect_needs_every_byte(fh, [&](xdr_cursor* c) { return xdr_get_fh2(c, out); });
    EXPECT_EQ(bytes(out, out + 32), fh);
}

bytes numbered(uint32_t n) {
    bytes v(n);
    for (uint32_t i = 0; i < n; ++i) v[i] = uint8_t(0x40 + i);
    return v;
}

TEST(XdrHandles, Version3HandleOfTheConfiguredSize) {
    for (uint32_t size : {20u, 32u}) {
        uint8_t out[FH_MAX];
        std::memset(out, 0xFF, sizeof out);
        expect_needs_every_byte(wire{}.opaque(numbered(size)).b,
                                [&](xdr_cursor* c) { return xdr_get_fh3(c, out, size); });
        EXPECT_EQ(bytes(out, out + size), numbered(size)) << size;
        // A short handle leaves no bytes of an earlier one behind.
        for (uint32_t i = size; i < FH_MAX; ++i) EXPECT_EQ(out[i], 0) << "byte " << i << " size " << size;
    }
}

TEST(XdrHandles, Version3LengthZeroIsThePublicHandle) {
    bytes b = wire{}.u32(0).u32(0x12345678).b;
    for (uint32_t size : {20u, 32u}) {
        uint8_t out[FH_MAX];
        std::memset(out, 0xFF, sizeof out);
        xdr_cursor c = cursor_on(b);
        ASSERT_TRUE(xdr_get_fh3(&c, out, size));
        EXPECT_EQ(bytes(out, out + FH_MAX), bytes(FH_MAX, 0));
        EXPECT_EQ(c.pos, 1);   // only the length word was taken
    }
}

TEST(XdrHandles, Version3WrongLengthsFailAndKeepThePosition) {
    for (uint32_t size : {20u, 32u}) {
        for (uint32_t len = 1; len <= 64; ++len) {
            if (len == size) continue;
            bytes b = wire{}.opaque(numbered(len)).b;
            uint8_t out[FH_MAX] = {};
            xdr_cursor c = cursor_on(b);
            EXPECT_FALSE(xdr_get_fh3(&c, out, size)) << "length " << len << " with size " << size;
            EXPECT_EQ(c.pos, 0);
        }
    }
    bytes big = wire{}.u32(0xFFFFFFFF).b;
    uint8_t out[FH_MAX] = {};
    xdr_cursor c = cursor_on(big);
    EXPECT_FALSE(xdr_get_fh3(&c, out, 32));
}

TEST(XdrHandles, Version3RefusesASizeLargerThanTheHandle) {
    bytes b = wire{}.opaque(numbered(36)).b;
    uint8_t guarded[FH_MAX + 8];
    std::memset(guarded, 0xCC, sizeof guarded);
    xdr_cursor c = cursor_on(b);
    EXPECT_FALSE(xdr_get_fh3(&c, guarded, 36));
    for (uint32_t i = FH_MAX; i < sizeof guarded; ++i) EXPECT_EQ(guarded[i], 0xCC);
}

// Decodes into a heap buffer of exactly `max` bytes, so an overrun shows.
struct name_out {
    std::unique_ptr<char[]> buf;
    uint32_t max;
    explicit name_out(uint32_t m) : buf(new char[m]), max(m) { std::memset(buf.get(), 'Z', m); }
};

TEST(XdrNames, LongestFileNameIs511Bytes) {
    name_out out(XDR_NAME_MAX);
    std::string name(511, 'n');
    expect_needs_every_byte(wire{}.opaque(name).b,
                            [&](xdr_cursor* c) { return xdr_get_name(c, out.buf.get(), out.max); });
    EXPECT_EQ(std::string(out.buf.get()), name);

    bytes too_long = wire{}.opaque(std::string(512, 'n')).b;
    xdr_cursor c = cursor_on(too_long);
    EXPECT_FALSE(xdr_get_name(&c, out.buf.get(), out.max));
    EXPECT_FALSE(xdr_get_dirop_name(&c, out.buf.get(), out.max));
    EXPECT_EQ(c.pos, 0);
}

TEST(XdrNames, LongestLinkTargetIs2047Bytes) {
    name_out out(XDR_PATH_MAX);
    std::string target(2047, 't');
    bytes ok = wire{}.opaque(target).b;
    xdr_cursor c = cursor_on(ok);
    ASSERT_TRUE(xdr_get_name(&c, out.buf.get(), out.max));
    EXPECT_EQ(std::string(out.buf.get()), target);
    EXPECT_EQ(c.pos, int32_t(ok.size() / 4));

    bytes too_long = wire{}.opaque(std::string(2048, 't')).b;
    c = cursor_on(too_long);
    EXPECT_FALSE(xdr_get_name(&c, out.buf.get(), out.max));
    EXPECT_EQ(c.pos, 0);
}

TEST(XdrNames, LengthBeyondTheArgumentsFails) {
    name_out out(XDR_NAME_MAX);
    // Declares 100 bytes, carries 8.
    bytes b = wire{}.u32(100).raw("abcdefgh", 8).b;
    xdr_cursor c = cursor_on(b);
    EXPECT_FALSE(xdr_get_name(&c, out.buf.get(), out.max));
    EXPECT_EQ(c.pos, 0);
    for (uint32_t len : {0xFFFFFFFFu, 0x80000000u, 0xFFFFFFFDu}) {
        bytes h = wire{}.u32(len).raw("abcdefgh", 8).b;
        c = cursor_on(h);
        EXPECT_FALSE(xdr_get_name(&c, out.buf.get(), out.max)) << len;
        EXPECT_EQ(c.pos, 0);
    }
}

TEST(XdrNames, TruncationAtEveryLengthFails) {
    name_out out(XDR_NAME_MAX);
    expect_needs_every_byte(wire{}.opaque("hello").b,
                            [&](xdr_cursor* c) { return xdr_get_name(c, out.buf.get(), out.max); });
    EXPECT_STREQ(out.buf.get(), "hello");
    expect_needs_every_byte(wire{}.opaque("hello").b,
                            [&](xdr_cursor* c) { return xdr_get_dirop_name(c, out.buf.get(), out.max); });
}

TEST(XdrNames, EmptyNameIsRefusedOnlyAsADiropName) {
    name_out out(XDR_NAME_MAX);
    bytes b = wire{}.u32(0).u32(7).b;
    xdr_cursor c = cursor_on(b);
    ASSERT_TRUE(xdr_get_name(&c, out.buf.get(), out.max));
    EXPECT_STREQ(out.buf.get(), "");
    EXPECT_EQ(c.pos, 1);
    c = cursor_on(b);
    EXPECT_FALSE(xdr_get_dirop_name(&c, out.buf.get(), out.max));
    EXPECT_EQ(c.pos, 0);
}

TEST(XdrNames, EmbeddedNulIsCopiedAndTheNameTerminated) {
    name_out out(XDR_NAME_MAX);
    bytes b = wire{}.opaque(std::string("a\0b", 3)).b;
    xdr_cursor c = cursor_on(b);
    ASSERT_TRUE(xdr_get_dirop_name(&c, out.buf.get(), out.max));
    EXPECT_EQ(std::memcmp(out.buf.get(), "a\0b\0", 4), 0);
    // A leading NUL makes the name read as empty, which a dirop name may not be.
    bytes lead = wire{}.opaque(std::string("\0ab", 3)).b;
    c = cursor_on(lead);
    EXPECT_FALSE(xdr_get_dirop_name(&c, out.buf.get(), out.max));
    EXPECT_EQ(c.pos, 0);
}

TEST(XdrNames, DotsAndSlashesAreLeftToTheNameLayer) {
    name_out out(XDR_NAME_MAX);
    for (const char* n : {".", "..", "/", "a/b", "\\"}) {
        bytes b = wire{}.opaque(std::string(n)).b;
        xdr_cursor c = cursor_on(b);
        ASSERT_TRUE(xdr_get_dirop_name(&c, out.buf.get(), out.max)) << n;
        EXPECT_STREQ(out.buf.get(), n);
    }
}

bytes sattr2_words(uint32_t mode, uint32_t uid, uint32_t gid, uint32_t size, uint32_t as, uint32_t au, uint32_t ms,
                   uint32_t mu) {
    return wire{}.u32(mode).u32(uid).u32(gid).u32(size).u32(as).u32(au).u32(ms).u32(mu).b;
}

constexpr uint32_t UNSET = 0xFFFFFFFFu;

TEST(XdrSattr2, EightWordsAtExactBounds) {
    xdr_sattr s{};
    expect_needs_every_byte(sattr2_words(0644, 10, 20, 4096, 1000, 5, 2000, 999999),
                            [&](xdr_cursor* c) { return xdr_get_sattr2(c, &s); });
    EXPECT_TRUE(s.set_mode && s.set_uid && s.set_gid && s.set_size && s.set_atime && s.set_mtime);
    EXPECT_EQ(s.mode, 0644u);
    EXPECT_EQ(s.uid, 10u);
    EXPECT_EQ(s.gid, 20u);
    EXPECT_EQ(s.size, 4096u);
    EXPECT_EQ(s.atime_sec, 1000u);
    EXPECT_EQ(s.atime_nsec, 5000u);
    EXPECT_EQ(s.mtime_sec, 2000u);
    EXPECT_EQ(s.mtime_nsec, 999999000u);
}

TEST(XdrSattr2, AllOnesMeansNotSetFieldByField) {
    xdr_sattr s{};
    bytes none = sattr2_words(UNSET, UNSET, UNSET, UNSET, UNSET, UNSET, UNSET, UNSET);
    xdr_cursor c = cursor_on(none);
    ASSERT_TRUE(xdr_get_sattr2(&c, &s));
    EXPECT_FALSE(s.set_mode || s.set_uid || s.set_gid || s.set_size || s.set_atime || s.set_mtime);

    // Each field on its own: only its flag goes up.
    for (int field = 0; field < 6; ++field) {
        uint32_t w[6] = {UNSET, UNSET, UNSET, UNSET, UNSET, UNSET};
        w[field] = 0;
        bytes b = sattr2_words(w[0], w[1], w[2], w[3], w[4], UNSET, w[5], UNSET);
        c = cursor_on(b);
        ASSERT_TRUE(xdr_get_sattr2(&c, &s));
        bool flags[6] = {s.set_mode, s.set_uid, s.set_gid, s.set_size, s.set_atime, s.set_mtime};
        for (int i = 0; i < 6; ++i) EXPECT_EQ(flags[i], i == field) << "field " << field << " flag " << i;
    }
}

TEST(XdrSattr2, MicrosecondsAloneSetNothing) {
    xdr_sattr s{};
    bytes b = sattr2_words(UNSET, UNSET, UNSET, UNSET, UNSET, 0, UNSET, 0);
    xdr_cursor c = cursor_on(b);
    ASSERT_TRUE(xdr_get_sattr2(&c, &s));
    EXPECT_FALSE(s.set_atime);
    EXPECT_FALSE(s.set_mtime);
}

// sattr3: discriminant words, then values.
wire sattr3_all_client_time() {
    wire w;
    w.u32(1).u32(0755);                   // mode
    w.u32(1).u32(1001);                   // uid
    w.u32(1).u32(1002);                   // gid
    w.u32(1).u64(0x0000000100000002ull);  // size
    w.u32(2).u32(111).u32(222);           // atime from the client
    w.u32(2).u32(333).u32(444);           // mtime from the client
    return w;
}

TEST(XdrSattr3, EveryFieldSetAtExactBounds) {
    xdr_sattr s{};
    expect_needs_every_byte(sattr3_all_client_time().b, [&](xdr_cursor* c) { return xdr_get_sattr3(c, &s, 9999); });
    EXPECT_TRUE(s.set_mode && s.set_uid && s.set_gid && s.set_size && s.set_atime && s.set_mtime);
    EXPECT_EQ(s.mode, 0755u);
    EXPECT_EQ(s.uid, 1001u);
    EXPECT_EQ(s.gid, 1002u);
    EXPECT_EQ(s.size, 0x0000000100000002ull);
    EXPECT_EQ(s.atime_sec, 111u);
    EXPECT_EQ(s.atime_nsec, 222u);
    EXPECT_EQ(s.mtime_sec, 333u);
    EXPECT_EQ(s.mtime_nsec, 444u);
}

TEST(XdrSattr3, NothingSetIsSixWords) {
    xdr_sattr s{};
    s.set_mode = s.set_atime = true;   // stale flags from an earlier decode must go
    expect_needs_every_byte(wire{}.u32(0).u32(0).u32(0).u32(0).u32(0).u32(0).b,
                            [&](xdr_cursor* c) { return xdr_get_sattr3(c, &s, 9999); });
    EXPECT_FALSE(s.set_mode || s.set_uid || s.set_gid || s.set_size || s.set_atime || s.set_mtime);
}

TEST(XdrSattr3, ServerTimeTakesNoWordsAndZeroNanoseconds) {
    xdr_sattr s{};
    bytes b = wire{}.u32(0).u32(0).u32(0).u32(0).u32(1).u32(1).u32(0xBADBAD).b;
    xdr_cursor c = cursor_on(b);
    ASSERT_TRUE(xdr_get_sattr3(&c, &s, 1700000000u));
    EXPECT_TRUE(s.set_atime);
    EXPECT_TRUE(s.set_mtime);
    EXPECT_EQ(s.atime_sec, 1700000000u);
    EXPECT_EQ(s.atime_nsec, 0u);
    EXPECT_EQ(s.mtime_sec, 1700000000u);
    EXPECT_EQ(s.mtime_nsec, 0u);
    EXPECT_EQ(c.pos, 6);
}

TEST(XdrSattr3, MixedForms) {
    // uid only, then server time for atime and client time for mtime.
    xdr_sattr s{};
    bytes b = wire{}.u32(0).u32(1).u32(0).u32(0).u32(0).u32(1).u32(2).u32(5).u32(6).b;
    expect_needs_every_byte(b, [&](xdr_cursor* c) { return xdr_get_sattr3(c, &s, 77); });
    EXPECT_FALSE(s.set_mode);
    EXPECT_TRUE(s.set_uid);
    EXPECT_EQ(s.uid, 0u);
    EXPECT_FALSE(s.set_gid);
    EXPECT_FALSE(s.set_size);
    EXPECT_TRUE(s.set_atime);
    EXPECT_EQ(s.atime_sec, 77u);
    EXPECT_TRUE(s.set_mtime);
    EXPECT_EQ(s.mtime_sec, 5u);
    EXPECT_EQ(s.mtime_nsec, 6u);
}

}  // namespace
