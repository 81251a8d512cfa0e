// The integration tests' names for the shared fixtures (tests/common).
#ifndef VISTREC_TESTS_INTEGRATION_HARNESS_H
#define VISTREC_TESTS_INTEGRATION_HARNESS_H

#include "RecorderFixture.h"

namespace it {
using namespace vistrec::test;
}  // namespace it

#endif  // VISTREC_TESTS_INTEGRATION_HARNESS_H
