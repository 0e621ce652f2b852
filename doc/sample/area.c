// SPDX-License-Identifier: MIT
#include "point.h"

int area(struct point a, struct point b) {
    return (b.x - a.x) * (b.y - a.y);
}
