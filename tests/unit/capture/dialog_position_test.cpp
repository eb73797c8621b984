#include "capture/dialog_position.h"

#include <gtest/gtest.h>

namespace {

TEST(DialogPosition, CentresInTheWorkAreaTruncatingHalves) {
    struct Case {
        int right, bottom, left, top, windowRight, windowBottom;
        int x, y;
    };
    const Case cases[] = {
        // Template position and size do not matter, only the window's size.
        {1024, 768, 10, 10, 295, 162, 370, 308}, {1024, 768, 600, 500, 885, 652, 370, 308},
        {1023, 767, 0, 0, 285, 153, 369, 307},  // odd sizes: both halves truncated
        {200, 100, 0, 0, 285, 153, -42, -26},   // larger than the work area
        {-5, -3, 0, 0, 10, 10, -7, -6},         // toward zero, not down
    };
    for (const Case& c : cases) {
        DialogPosition p =
            centredDialogPosition(c.right, c.bottom, c.left, c.top, c.windowRight, c.windowBottom);
        EXPECT_EQ(c.x, p.x) << c.right << "x" << c.bottom;
        EXPECT_EQ(c.y, p.y) << c.right << "x" << c.bottom;
    }
}

}  // namespace
