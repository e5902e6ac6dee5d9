#include "CAutoLogin.h"

#include <gtest/gtest.h>

namespace {

TEST(CAutoLogin, PaceStartsAtOnceThenDoublesWithJitterUpToFiveMinutes) {
    CAutoLogin pace;
    ASSERT_FALSE(pace.Begin(150108)) << "nothing to log in with";
    pace.Remember("<M>login</M>");
    ASSERT_TRUE(pace.Begin(150108));
    EXPECT_EQ(0, pace.NextDelay());
    long previousBase = 0;
    for (int attempt = 1; attempt < 20; ++attempt) {
        const long base = CAutoLogin::BaseDelay(attempt);
        const long delay = pace.NextDelay();
        EXPECT_GE(base, previousBase);
        EXPECT_GE(delay, base * 8 / 10) << attempt;
        EXPECT_LE(delay, std::min<long>(300, base * 12 / 10 + 1)) << attempt;
        previousBase = base;
    }
    EXPECT_EQ(300, CAutoLogin::BaseDelay(19));
    EXPECT_EQ(2, CAutoLogin::BaseDelay(1));
    EXPECT_EQ(8, CAutoLogin::BaseDelay(3));
    // A new recovery starts from an immediate attempt again.
    pace.Stop();
    ASSERT_TRUE(pace.Begin(14));
    EXPECT_EQ(0, pace.NextDelay());
}

TEST(CAutoLogin, RequestedLogoutForgetsTheLogin) {
    CAutoLogin pace;
    pace.Remember("<M>login</M>", true);
    EXPECT_TRUE(pace.Persistent());
    ASSERT_TRUE(pace.Begin(20010207));
    pace.Forget();
    EXPECT_FALSE(pace.Active());
    EXPECT_FALSE(pace.HasLogin());
    EXPECT_FALSE(pace.Persistent());
    EXPECT_FALSE(pace.Begin(150108));
}

TEST(CAutoLogin, OnlyRefusalsThatRetryingCannotMendStopIt) {
    for (int code : {140003, 140011, 140012, 140105, 150200, 150201})
        EXPECT_FALSE(CAutoLogin::Retryable(code)) << code;
    for (int code : {14, 140010, 140099, 150102, 150108, 20010207, 20010204, 150003})
        EXPECT_TRUE(CAutoLogin::Retryable(code)) << code;
}

}  // namespace
