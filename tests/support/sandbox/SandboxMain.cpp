// main() of every C++ sandbox suite: outside `scripts/sandbox exec` there is
// no private bus, so the suite reports itself skipped (77) instead of talking
// to the machine's own daemon.

#include "SandboxProcess.h"

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!zelm_sandbox::insideSandbox()) {
        std::fprintf(stderr, "not inside the sandbox (scripts/sandbox exec A ...): skipped\n");
        return 77;
    }
    return RUN_ALL_TESTS();
}
