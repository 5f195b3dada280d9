#include "helper/fetch_assembly.h"
#include "helper/helper_service.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

TEST(HelperServiceTest, EachRequestGetsOneCompleteDocumentWithLaterTimestamps) {
    HelperService service;
    std::vector<platform::xpc::Reply> replies;
    for (bool showSystem : {false, true}) {
        service.handle({kFetchDataSelector, showSystem},
                       [&](const platform::xpc::Reply& reply) { replies.push_back(reply); });
    }
    ASSERT_EQ(replies.size(), 2u);
    ASSERT_TRUE(replies[0] && replies[1]);
    const auto first = decodeHelperResponse(*replies[0]);
    const auto second = decodeHelperResponse(*replies[1]);
    ASSERT_TRUE(first && second);
    EXPECT_LT(first->timestamp, second->timestamp);
    // Seconds since 2001: any plausible date of this machine lies past 2020.
    EXPECT_GT(first->timestamp, 600000000.0);
    EXPECT_GT(first->totalRam, 0u);
    EXPECT_GE(first->memPressureLevel, 0);
    EXPECT_LE(first->memPressureLevel, 100);
}

} // namespace
} // namespace korvel
