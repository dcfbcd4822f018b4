// The share rule of the server's bounded tables.
#include "rpc/share.h"

#include <gtest/gtest.h>

namespace {

struct share_case {
    const char* what;
    share_state state;
    share_verdict expected;
};

const share_case kCases[] = {
    {"room and under the share", {64, 16, 10, 3, 0, 0}, share_verdict::admit},
    {"no limits at all", {0, 0, 5000, 5000, 0, 0}, share_verdict::admit},
    {"full, nothing idle", {64, 16, 64, 0, 0, 0}, share_verdict::refuse},
    {"full, another's entry idle: a fresh client still gets in", {64, 16, 64, 0, 1, 0}, share_verdict::reclaim_any},
    {"at the share with an idle entry of its own", {64, 16, 20, 16, 5, 1}, share_verdict::reclaim_own},
    {"at the share, only others idle: never takes theirs", {64, 16, 64, 16, 9, 0}, share_verdict::refuse},
    {"at the share in a table with room", {64, 16, 16, 16, 0, 0}, share_verdict::refuse},
    {"full and at the share: its own idle entry goes", {64, 16, 64, 16, 9, 2}, share_verdict::reclaim_own},
    {"no per-client limit, full with idle entries", {8, 0, 8, 8, 8, 8}, share_verdict::reclaim_any},
    {"no table limit, share reached", {0, 4, 100, 4, 0, 0}, share_verdict::refuse},
};

TEST(Share, DecidesByShareThenByRoom) {
    for (const share_case& c : kCases) EXPECT_EQ(share_decide(c.state), c.expected) << c.what;
}

TEST(Share, PartOfATableIsAtLeastOne) {
    EXPECT_EQ(share_of(256, 8), 32u);
    EXPECT_EQ(share_of(64, 4), 16u);
    EXPECT_EQ(share_of(3, 4), 1u);
    EXPECT_EQ(share_of(10, 0), 10u);
}

}  // namespace
