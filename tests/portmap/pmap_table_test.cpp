// The registration table: order, SET/UNSET/GETPORT rules, DUMP and the
// forwarder's choice of target.
#include <gtest/gtest.h>

#include <vector>

#include "portmap/pmap_table.h"
#include "rpc/message.h"
#include "rpc/transport.h"

namespace {

constexpr uint32_t NFS = 100003;
constexpr uint32_t MOUNTD = 100005;

std::vector<pmap_mapping> all() {
    std::vector<pmap_mapping> v(pmap_table_size() + 1);
    v.resize(pmap_table_dump(v.data(), v.size()));
    return v;
}

bool same(const pmap_mapping& m, uint32_t prog, uint32_t vers, uint32_t prot, uint32_t port) {
    return m.program == prog && m.version == vers && m.protocol == prot && m.port == port;
}

struct PmapTable : ::testing::Test {
    void SetUp() override { pmap_table_reset(); }
    void TearDown() override { pmap_table_clear(); }
};

TEST_F(PmapTable, StartsWithOwnMappingsTcpFirst) {
    auto v = all();
    ASSERT_EQ(v.size(), 2u);
    EXPECT_TRUE(same(v[0], PMAP_PROGRAM, 2, RPC_TCP, 111));
    EXPECT_TRUE(same(v[1], PMAP_PROGRAM, 2, RPC_UDP, 111));
}

TEST_F(PmapTable, ResetDropsEarlierRegistrations) {
    ASSERT_TRUE(pmap_table_set(NFS, 3, RPC_UDP, 2049));
    pmap_table_reset();
    EXPECT_EQ(pmap_table_size(), 2u);
    EXPECT_EQ(pmap_table_getport(NFS, 3, RPC_UDP), 0u);
}

TEST_F(PmapTable, SetAppendsAtTheTail) {
    ASSERT_TRUE(pmap_table_set(NFS, 3, RPC_UDP, 2049));
    ASSERT_TRUE(pmap_table_set(MOUNTD, 1, RPC_TCP, 1058));
    auto v = all();
    ASSERT_EQ(v.size(), 4u);
    EXPECT_TRUE(same(v[2], NFS, 3, RPC_UDP, 2049));
    EXPECT_TRUE(same(v[3], MOUNTD, 1, RPC_TCP, 1058));
}

TEST_F(PmapTable, SetOfAnExistingTripleOnlyConfirmsItsPort) {
    EXPECT_TRUE(pmap_table_set(NFS, 3, RPC_UDP, 2049));
    EXPECT_TRUE(pmap_table_set(NFS, 3, RPC_UDP, 2049));
    EXPECT_FALSE(pmap_table_set(NFS, 3, RPC_UDP, 2050));
    EXPECT_EQ(pmap_table_getport(NFS, 3, RPC_UDP), 2049u);
    EXPECT_EQ(pmap_table_size(), 3u);
    // Another protocol or version is a new triple.
    EXPECT_TRUE(pmap_table_set(NFS, 3, RPC_TCP, 2050));
    EXPECT_TRUE(pmap_table_set(NFS, 2, RPC_UDP, 2051));
    EXPECT_EQ(pmap_table_size(), 5u);
}

TEST_F(PmapTable, GetportNeedsTheExactTriple) {
    ASSERT_TRUE(pmap_table_set(NFS, 3, RPC_UDP, 2049));
    EXPECT_EQ(pmap_table_getport(NFS, 3, RPC_UDP), 2049u);
    EXPECT_EQ(pmap_table_getport(NFS, 2, RPC_UDP), 0u);
    EXPECT_EQ(pmap_table_getport(NFS, 3, RPC_TCP), 0u);
    EXPECT_EQ(pmap_table_getport(MOUNTD, 3, RPC_UDP), 0u);
    EXPECT_EQ(pmap_table_getport(PMAP_PROGRAM, 2, RPC_TCP), 111u);
}

TEST_F(PmapTable, UnsetRemovesOnlyTheFirstMatchOfProgramAndVersion) {
    ASSERT_TRUE(pmap_table_set(NFS, 3, RPC_UDP, 2049));
    ASSERT_TRUE(pmap_table_set(NFS, 3, RPC_TCP, 2049));
    ASSERT_TRUE(pmap_table_set(NFS, 2, RPC_UDP, 2049));
    EXPECT_TRUE(pmap_table_unset(NFS, 3));
    auto v = all();
    ASSERT_EQ(v.size(), 4u);
    EXPECT_TRUE(same(v[2], NFS, 3, RPC_TCP, 2049));
    EXPECT_TRUE(same(v[3], NFS, 2, RPC_UDP, 2049));
    EXPECT_TRUE(pmap_table_unset(NFS, 3));
    EXPECT_FALSE(pmap_table_unset(NFS, 3));
    EXPECT_EQ(pmap_table_size(), 3u);
}

TEST_F(PmapTable, UnsetNeverRemovesThePortmapper) {
    EXPECT_FALSE(pmap_table_unset(PMAP_PROGRAM, 2));
    EXPECT_EQ(pmap_table_size(), 2u);
}

TEST_F(PmapTable, UnsetStopsAtAReservedPort) {
    // The table itself takes any port; the SET procedure refuses low ones.
    ASSERT_TRUE(pmap_table_set(NFS, 3, RPC_UDP, 1024));
    ASSERT_TRUE(pmap_table_set(NFS, 3, RPC_TCP, 2049));
    EXPECT_FALSE(pmap_table_unset(NFS, 3));
    EXPECT_EQ(pmap_table_size(), 4u);
    EXPECT_EQ(pmap_table_getport(NFS, 3, RPC_TCP), 2049u);
    ASSERT_TRUE(pmap_table_set(MOUNTD, 1, RPC_UDP, 1025));
    EXPECT_TRUE(pmap_table_unset(MOUNTD, 1));
}

TEST_F(PmapTable, DumpCopiesInOrderUpToTheLimit) {
    for (uint32_t i = 0; i < 28; ++i) ASSERT_TRUE(pmap_table_set(0x20000000u + i, 1, RPC_UDP, 5000 + i));
    ASSERT_EQ(pmap_table_size(), 30u);
    EXPECT_EQ(PMAP_DUMP_MAX, 26u);
    pmap_mapping out[PMAP_DUMP_MAX];
    ASSERT_EQ(pmap_table_dump(out, PMAP_DUMP_MAX), 26u);
    EXPECT_TRUE(same(out[0], PMAP_PROGRAM, 2, RPC_TCP, 111));
    for (uint32_t i = 0; i < 24; ++i) EXPECT_TRUE(same(out[2 + i], 0x20000000u + i, 1, RPC_UDP, 5000 + i)) << i;
}

TEST_F(PmapTable, TableIsBounded) {
    size_t added = 0;
    while (pmap_table_set(0x30000000u + uint32_t(added), 1, RPC_TCP, 4000)) ++added;
    EXPECT_EQ(pmap_table_size(), PMAP_TABLE_MAX);
    EXPECT_EQ(added + 2, PMAP_TABLE_MAX);
    // A full table still confirms existing mappings and frees room on UNSET.
    EXPECT_TRUE(pmap_table_set(0x30000000u, 1, RPC_TCP, 4000));
    EXPECT_TRUE(pmap_table_unset(0x30000000u, 1));
    EXPECT_TRUE(pmap_table_set(0x3FFFFFFFu, 1, RPC_TCP, 4000));
}

TEST_F(PmapTable, ForwardTargetPrefersTheVersionElseTheLastUdpMapping) {
    pmap_mapping m{};
    EXPECT_FALSE(pmap_table_forward_target(NFS, 3, &m));
    ASSERT_TRUE(pmap_table_set(NFS, 3, RPC_TCP, 3000));
    EXPECT_FALSE(pmap_table_forward_target(NFS, 3, &m)) << "TCP mappings are not forwarded to";
    ASSERT_TRUE(pmap_table_set(NFS, 1, RPC_UDP, 3001));
    ASSERT_TRUE(pmap_table_set(NFS, 2, RPC_UDP, 3002));
    ASSERT_TRUE(pmap_table_forward_target(NFS, 3, &m));
    EXPECT_TRUE(same(m, NFS, 2, RPC_UDP, 3002));
    ASSERT_TRUE(pmap_table_forward_target(NFS, 1, &m));
    EXPECT_TRUE(same(m, NFS, 1, RPC_UDP, 3001));
    ASSERT_TRUE(pmap_table_set(NFS, 3, RPC_UDP, 3003));
    ASSERT_TRUE(pmap_table_set(NFS, 4, RPC_UDP, 3004));
    ASSERT_TRUE(pmap_table_forward_target(NFS, 3, &m));
    EXPECT_TRUE(same(m, NFS, 3, RPC_UDP, 3003));
    ASSERT_TRUE(pmap_table_forward_target(NFS, 9, &m));
    EXPECT_TRUE(same(m, NFS, 4, RPC_UDP, 3004));
}

}  // namespace
