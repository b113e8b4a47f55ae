#pragma once

#include <gtest/gtest.h>

#include "Sandbox.h"

// Runs body inside a fresh sandbox (a forked child) and fails the test when the
// sandbox cannot be made or the body failed there. Assertions inside body work as
// usual: their messages are printed by the child.
inline void vsim_run(const vsim::Options& options, const std::function<void(vsim::Sandbox&)>& body)
{
    int rc = vsim::Sandbox::run(options, [&](vsim::Sandbox& sb) {
        body(sb);
        return ::testing::Test::HasFailure() ? 1 : 0;
    });
    ASSERT_NE(rc, 125) << "the sandbox could not be made (user, mount, network, UTS and PID "
                          "namespaces are needed; see the message above)";
    ASSERT_EQ(rc, 0) << "the test failed inside the sandbox (see the messages above)";
}
