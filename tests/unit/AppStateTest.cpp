#include <gtest/gtest.h>

#include "app/AppState.h"

TEST(AppState, StartsWithNoActiveGasAndTheStartTitle) {
    EXPECT_EQ(CurrentActiveGas, -1);
    EXPECT_STREQ(WindowTitle, "Torvan Control Board Test");
    EXPECT_EQ(ValveCrackingValMax, 8388480u);
}
