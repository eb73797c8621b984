#pragma once
// Where the scan dialog goes when it opens: its middle at half the work
// area's right and bottom edges, which centres it in a work area that starts
// at (0, 0). Each halving truncates toward zero.

struct DialogPosition {
    int x;
    int y;
};

constexpr DialogPosition centredDialogPosition(int workAreaRight, int workAreaBottom,
                                               int windowLeft, int windowTop, int windowRight,
                                               int windowBottom) {
    return DialogPosition{workAreaRight / 2 - (windowRight - windowLeft) / 2,
                          workAreaBottom / 2 - (windowBottom - windowTop) / 2};
}
