#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "session/dnc_session.h"
#include "transport/session_encryptor.h"

namespace {

// A new session has its own cipher object and nothing else set; the base
// class offers no protocol and no scans.
TEST(DncSessionBase, StartsEmptyWithItsOwnCipherObject) {
    auto first = std::make_unique<DncSession>();
    auto second = std::make_unique<DncSession>();
    EXPECT_EQ(first->ClientSocket, nullptr);
    EXPECT_EQ(first->properties, nullptr);
    ASSERT_NE(first->SessionEncryptor, nullptr);
    EXPECT_NE(first->SessionEncryptor, second->SessionEncryptor);
    EXPECT_FALSE(first->done);
    EXPECT_EQ(first->commandCode, 0);
    EXPECT_EQ(first->sessionState, 0);

    EXPECT_FALSE(first->doProt());
    std::string answer = "kept";
    EXPECT_TRUE(first->doProbe(answer));
    EXPECT_EQ(answer, "kept");

    // Releasing the cipher object is ShutdownThread's job, not the destructor's.
    delete first->SessionEncryptor;
    delete second->SessionEncryptor;
}

}  // namespace
