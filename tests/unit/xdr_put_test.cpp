// xdr_put letters and the small result encoders.
#include <gtest/gtest.h>

#include <cstring>

#include "rpc/xdr.h"
#include "unit_support.h"

namespace {

// Destination pre-filled with a marker so that padding and overruns show.
struct dest {
    uint8_t b[256];
    dest() { std::memset(b, 0xAA, sizeof b); }
    bytes first(size_t n) const { return bytes(b, b + n); }
    bool untouched_from(size_t n) const {
        for (size_t i = n; i < sizeof b; ++i)
            if (b[i] != 0xAA) return false;
        return true;
    }
};

// A host-order length word followed by the bytes, as the `o` letter takes it.
bytes host_counted(const std::string& s) {
    bytes v(4 + s.size());
    uint32_t len = uint32_t(s.size());
    std::memcpy(v.data(), &len, 4);
    std::memcpy(v.data() + 4, s.data(), s.size());
    return v;
}

TEST(XdrPut, PortmapMappingArgumentsAreFourWords) {
    dest d;
    size_t n = xdr_put(d.b, "qqqw", 100003u, 3u, 17u, 2049u);
    EXPECT_EQ(n, 16u);
    EXPECT_EQ(d.first(16), (bytes{0x00, 0x01, 0x86, 0xA3, 0, 0, 0, 3, 0, 0, 0, 0x11, 0, 0, 0x08, 0x01}));
    EXPECT_TRUE(d.untouched_from(16));
}

TEST(XdrPut, LowerQConvertsToNetworkOrder) {
    dest d;
    EXPECT_EQ(xdr_put(d.b, "qq", 0x12345678u, 0xFFFFFFFEu), 8u);
    EXPECT_EQ(d.first(8), (bytes{0x12, 0x34, 0x56, 0x78, 0xFF, 0xFF, 0xFF, 0xFE}));
}

TEST(XdrPut, UpperQCopiesAWordAlreadyInNetworkOrder) {
    const uint8_t wire_bytes[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    uint32_t v;
    std::memcpy(&v, wire_bytes, 4);
    dest d;
    EXPECT_EQ(xdr_put(d.b, "Q", v), 4u);
    EXPECT_EQ(d.first(4), (bytes{0xDE, 0xAD, 0xBE, 0xEF}));
}

TEST(XdrPut, LowerWZeroExtendsSixteenBits) {
    dest d;
    EXPECT_EQ(xdr_put(d.b, "ww", 0xFFFFu, 0x0102u), 8u);
    EXPECT_EQ(d.first(8), (bytes{0, 0, 0xFF, 0xFF, 0, 0, 0x01, 0x02}));
}

TEST(XdrPut, UpperWPutsTheNetworkOrderBytesLast) {
    const uint8_t port_bytes[2] = {0x08, 0x01};   // 2049 as it sits in a sockaddr
    uint16_t v;
    std::memcpy(&v, port_bytes, 2);
    dest d;
    EXPECT_EQ(xdr_put(d.b, "W", unsigned(v)), 4u);
    EXPECT_EQ(d.first(4), (bytes{0, 0, 0x08, 0x01}));
}

TEST(XdrPut, LowerOTakesAHostOrderLengthAndPads) {
    bytes v = host_counted("abc");
    dest d;
    EXPECT_EQ(xdr_put(d.b, "o", v.data()), 8u);
    EXPECT_EQ(d.first(8), (bytes{0, 0, 0, 3, 'a', 'b', 'c', 0}));
    EXPECT_TRUE(d.untouched_from(8));
}

TEST(XdrPut, LowerOOfLengthZeroIsOneZeroWord) {
    const uint32_t empty = 0;
    dest d;
    EXPECT_EQ(xdr_put(d.b, "o", &empty), 4u);
    EXPECT_EQ(d.first(4), (bytes{0, 0, 0, 0}));
    EXPECT_TRUE(d.untouched_from(4));
}

TEST(XdrPut, UpperOOfLengthFiveWritesTwelveBytes) {
    bytes v = wire{}.u32(5).raw("hello", 5).b;   // wire form as copied from a message
    dest d;
    EXPECT_EQ(xdr_put(d.b, "O", v.data()), 12u);
    EXPECT_EQ(d.first(12), (bytes{0, 0, 0, 5, 'h', 'e', 'l', 'l', 'o', 0, 0, 0}));
    EXPECT_TRUE(d.untouched_from(12));
}

TEST(XdrPut, OpaquesOfWholeWordsGetNoPadding) {
    bytes v = wire{}.u32(8).raw("12345678", 8).b;
    dest d;
    EXPECT_EQ(xdr_put(d.b, "O", v.data()), 12u);
    EXPECT_TRUE(d.untouched_from(12));
}

TEST(XdrPut, UnknownLettersAreSkippedAndTakeNoValue) {
    dest d;
    EXPECT_EQ(xdr_put(d.b, "q-x q", 1u, 2u), 8u);
    EXPECT_EQ(d.first(8), (bytes{0, 0, 0, 1, 0, 0, 0, 2}));
    EXPECT_EQ(xdr_put(d.b, ""), 0u);
}

TEST(XdrPut, MixedFormatKeepsItemsContiguous) {
    bytes cred = wire{}.u32(3).raw("xyz", 3).b;
    dest d;
    // Accepted reply header with a 3-byte verifier: the status lands after the padding.
    size_t n = xdr_put(d.b, "qqqqOq", 7u, 1u, 0u, 9u, cred.data(), 4u);
    EXPECT_EQ(n, 4u * 4 + 8 + 4);
    EXPECT_EQ(d.first(n), wire{}.u32(7).u32(1).u32(0).u32(9).opaque("xyz").u32(4).b);
}

TEST(XdrEncoders, U64PutsTheHighWordFirst) {
    dest d;
    EXPECT_EQ(xdr_enc_u64(d.b, 0x0102030405060708ull), 8u);
    EXPECT_EQ(d.first(8), (bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(XdrEncoders, CountedArray) {
    const uint32_t v[3] = {1, 0x10000, 0xFFFFFFFF};
    dest d;
    EXPECT_EQ(xdr_enc_u32_array(d.b, v, 3), 16u);
    EXPECT_EQ(d.first(16), wire{}.u32(3).u32(1).u32(0x10000).u32(0xFFFFFFFF).b);
    EXPECT_EQ(xdr_enc_u32_array(d.b, nullptr, 0), 4u);
    EXPECT_EQ(d.first(4), (bytes{0, 0, 0, 0}));
}

TEST(XdrEncoders, PaddedReturnsThePaddedLengthForEveryRemainder) {
    for (uint32_t n = 0; n <= 8; ++n) {
        dest d;
        size_t got = xdr_enc_padded(d.b, "ABCDEFGH", n);
        EXPECT_EQ(got, size_t((n + 3) / 4 * 4)) << "n=" << n;
        for (uint32_t i = 0; i < n; ++i) EXPECT_EQ(d.b[i], uint8_t('A' + i));
        for (size_t i = n; i < got; ++i) EXPECT_EQ(d.b[i], 0) << "padding at " << i << " n=" << n;
        EXPECT_TRUE(d.untouched_from(got)) << "n=" << n;
    }
}

TEST(XdrEncoders, OpaqueAndStringCarryTheirLength) {
    dest d;
    EXPECT_EQ(xdr_enc_opaque(d.b, "abcde", 5), 12u);
    EXPECT_EQ(d.first(12), wire{}.opaque("abcde").b);
    dest e;
    EXPECT_EQ(xdr_enc_string(e.b, "export", 64), 12u);
    EXPECT_EQ(e.first(12), wire{}.opaque("export").b);
    dest f;
    EXPECT_EQ(xdr_enc_string(f.b, "", 64), 4u);
    EXPECT_EQ(f.first(4), (bytes{0, 0, 0, 0}));
}

TEST(XdrEncoders, StringIsCutToItsLimit) {
    dest d;
    EXPECT_EQ(xdr_enc_string(d.b, "abcdefgh", 5), 12u);
    EXPECT_EQ(d.first(12), wire{}.opaque("abcde").b);
    EXPECT_TRUE(d.untouched_from(12));
}

}  // namespace
