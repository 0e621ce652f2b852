// SPDX-License-Identifier: MIT

#include "assert.hpp"

namespace lexspot {

const Exception assertion_failed = {"Assertion failed"};

void check_assertion(int32_t value) {
    if (value == 0)
        assert_raise(assertion_failed);
}

} // namespace lexspot
