// Wall-clock bounds of the tests are set for a native build. Sanitizer
// builds, wine and valgrind run the same code several times slower; their
// runs set ORVANE_TEST_TIME_SCALE (the test presets and scripts/memcheck.sh
// do), and every bound goes through scaled() so that one number stretches
// them all. Waits for events need none of this: their deadlines only say
// when to give up.
#pragma once

#include <chrono>

namespace orvane::testing {

// ORVANE_TEST_TIME_SCALE as a number of at least 1; 1 when unset or not a
// number.
double time_scale();

// A bound of a native run, stretched by time_scale().
std::chrono::milliseconds scaled(std::chrono::milliseconds bound);
double scaled_ms(double bound_ms);

}  // namespace orvane::testing
