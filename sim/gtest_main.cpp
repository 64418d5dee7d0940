// SPDX-License-Identifier: GPL-2.0-or-later
// main() of the system test executables: each test process re-executes
// itself inside a world process of its own (umockdev preload, private mount
// namespace), so ctest can run many of them side by side.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "sim/world.hpp"

int main(int argc, char **argv) {
    bool listing = false;
    for (int i = 1; i < argc; i++) listing = listing || strcmp(argv[i], "--gtest_list_tests") == 0;
    if (!listing) {
        const std::string problem = sim::enter_world_process(argv);
        if (!problem.empty()) {
            fprintf(stderr, "cannot enter a simulated world: %s\n", problem.c_str());
            return 1;
        }
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
