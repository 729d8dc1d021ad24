// main() of every C++ sandbox suite: outside `scripts/sandbox exec` there is
// no private bus, so the suite reports itself skipped (77) instead of talking
// to the machine's own daemon.

#include <gtest/gtest.h>

#include <cstdio>

#include "Sandbox.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (Zelm::Test::sandboxVar("ZELM_SANDBOX_DIR").empty() ||
        Zelm::Test::sandboxVar("DBUS_SYSTEM_BUS_ADDRESS").empty())
        return std::fprintf(stderr, "not inside the sandbox (scripts/sandbox exec A ...): skipped\n"), 77;
    return RUN_ALL_TESTS();
}
