#pragma once

// The real command loop on a thread of its own with a short real poll
// interval, over a real data_dir and the stand-in wireguard.exe, while the
// test plays the client (and the faults) from the main thread.
#include <gtest/gtest.h>

#include "support/loop_harness.h"

namespace tarsel::testing {

class LoopOnThread : public ::testing::Test, protected LoopHarness {
  protected:
    void SetUp() override { fs::create_directories(data); }
    void TearDown() override {
        stop_loop();
        // The helper opens command.json sharing read, write and delete, and
        // no one else here opens it, so no write of it is ever refused.
        EXPECT_EQ(command_retries(), 0u) << "a write of command.json was refused";
    }
};

}  // namespace tarsel::testing
