#include "assert.hpp"

namespace lexspot {

const Exception assertion_failed = {"Assertion failed"};

void check_assertion(int32_t value) {
    if (value == 0)
        raise_exception(&assertion_failed, __FILE__, __LINE__);
}

} // namespace lexspot
