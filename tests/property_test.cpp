// The salvage properties over a few thousand generated damaged files with fixed seeds.
#include <gtest/gtest.h>

#include "datgen.hpp"
#include "invariants.hpp"
#include "support.hpp"

using namespace testkit;

namespace {

TEST(Property, EveryGeneratedFileSalvagesSoundly) {
    ScratchDir dir;
    for (std::uint32_t seed = 1; seed <= 3000; ++seed) {
        const Bytes file = random_damaged(seed);
        const std::string why = check_salvage(file.data(), file.size(), dir.path().string());
        ASSERT_EQ(why, "") << "seed " << seed;
    }
}

}  // namespace
