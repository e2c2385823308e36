// Fixture for tests that run tool code against the stand-in platform layer.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "standin.h"

class StandinTest : public ::testing::Test {
 protected:
  void SetUp() override { standin::Reset(); }
  void TearDown() override {
    // Whatever a step opened, it closed, and it closed nothing twice.
    EXPECT_EQ(state().openHandles, 0);
    EXPECT_EQ(state().badCloses, 0);
  }

  static standin::State& state() { return standin::Current(); }
  static const std::string& output() { return standin::Current().output; }

  // Position of the first call that starts with prefix (at or after `from`), or -1.
  static int IndexOf(const std::string& prefix, int from = 0) {
    const std::vector<std::string>& calls = standin::Current().calls;
    for (int i = from; i < static_cast<int>(calls.size()); ++i) {
      if (calls[i].rfind(prefix, 0) == 0) return i;
    }
    return -1;
  }
};
