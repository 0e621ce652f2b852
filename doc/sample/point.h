// SPDX-License-Identifier: MIT
struct point {
    int x, y;
};
