#include "peer/retry_backoff.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(RetryBackoff, DoublesUpToFiveSecondsAndStartsAgainAfterASession) {
    peer::RetryBackoff backoff;
    std::vector<int> pauses;
    for (int i = 0; i < 7; ++i) pauses.push_back(backoff.next());
    EXPECT_EQ((std::vector<int>{250, 500, 1000, 2000, 4000, 5000, 5000}), pauses);
    backoff.reset();
    EXPECT_EQ(250, backoff.next());
    EXPECT_EQ(500, backoff.next());
}

}  // namespace
