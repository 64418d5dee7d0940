// SPDX-License-Identifier: GPL-2.0-or-later
// A world whose process was killed leaves its folders behind; the next world
// clears them away. Every world does that clearing, so this test runs alone
// (RUN_SERIAL): a world of another test would otherwise clear the folders
// before this one looks at them.

#include <gtest/gtest.h>

#include <filesystem>

#include "sim/world.hpp"

namespace {

std::vector<std::string> worlds_of(const std::string &pid) {
    std::vector<std::string> found;
    for (const auto &e : std::filesystem::directory_iterator("/tmp"))
        if (e.path().filename().string().rfind("bexo-world." + pid + ".", 0) == 0) found.push_back(e.path());
    return found;
}

TEST(BexoSim, AWorldKilledMidRunIsClearedAwayByTheNextWorld) {
    std::string killed;
    {
        sim::World w;
        const auto r = w.run({"sh", "-c",
                              std::string(BEXO_SIM) + " -- sleep 30 >/dev/null 2>&1 & "
                              "n=0; until ls -d /tmp/bexo-world.$!.* >/dev/null 2>&1 || [ $n -ge 200 ]; do "
                              "sleep 0.05; n=$((n+1)); done; sleep 0.2; kill -9 $!; echo $!"});
        killed = r.out.substr(0, r.out.find('\n'));
    }
    const auto left = worlds_of(killed);
    ASSERT_EQ(left.size(), 1u) << "pid " << killed;
    const std::string testbed = sim::World::read_file(left[0] + "/testbed");
    ASSERT_EQ(testbed.rfind("/tmp/umockdev.", 0), 0u);
    EXPECT_TRUE(sim::World::exists(testbed.substr(0, testbed.size() - 1)));
    sim::World next;
    EXPECT_TRUE(worlds_of(killed).empty());
    EXPECT_FALSE(sim::World::exists(testbed.substr(0, testbed.size() - 1)));
}

}  // namespace
