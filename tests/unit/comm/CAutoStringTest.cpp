#include "CAutoString.h"

#include <gtest/gtest.h>

TEST(CAutoStringNull, NullAndEmptyAreDifferentStates) {
    CAutoString null;
    CAutoString other;
    CAutoString empty("");
    EXPECT_TRUE(null == other);
    EXPECT_FALSE(null == empty);
    EXPECT_TRUE(null != "");
    EXPECT_EQ(static_cast<const char*>(null), nullptr);
    EXPECT_EQ(null.GetLength(), 0u);
}
