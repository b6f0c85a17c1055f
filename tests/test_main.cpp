// Every test binary runs in a private network and mount namespace of its own.
#include <gtest/gtest.h>

#include "harness.h"

int main(int argc, char** argv) {
  harness::enter_private_namespace();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
