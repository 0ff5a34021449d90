// Which session changes the host forwards to the core.
#include "product/host/session_forwarder.h"

#include <gtest/gtest.h>

namespace {

using holm::product::host::SessionChange;
using holm::product::host::sessionChanges;

TEST(SessionChanges, LogoffsOfSessionsGoneThenLogonsOfNewOnes) {
    const std::vector<SessionChange> expected{{HlmPlg::kSessionLogoff, 2},
                                              {HlmPlg::kSessionLogoff, 7},
                                              {HlmPlg::kSessionLogon, 3},
                                              {HlmPlg::kSessionLogon, 9}};
    EXPECT_EQ(sessionChanges({1, 2, 7}, {1, 3, 9}), expected);
    EXPECT_TRUE(sessionChanges({1, 2}, {1, 2}).empty());
    EXPECT_EQ(sessionChanges({}, {4}), (std::vector<SessionChange>{{HlmPlg::kSessionLogon, 4}}));
}

}  // namespace
