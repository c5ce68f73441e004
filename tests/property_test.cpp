// The salvage properties over a few thousand generated damaged files with fixed seeds.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>

#include "datgen.hpp"
#include "invariants.hpp"
#include "recipe.hpp"
#include "support.hpp"

using namespace testkit;

namespace {

TEST(Property, EveryGeneratedFileSalvagesSoundly) {
    ScratchDir dir(true);
    for (std::uint32_t seed = 1; seed <= 3000; ++seed) {
        const Bytes file = datgen::random_damaged(seed);
        const std::string why = check_salvage(file.data(), file.size(), dir.path().string());
        ASSERT_EQ(why, "") << "seed " << seed;
    }
}

// The data of every record in a new file, which the tool has already framed soundly.
std::multiset<std::string> records_in(const Bytes& b) {
    std::multiset<std::string> data;
    for (std::size_t p = 512; p + 16 <= b.size();) {
        const std::size_t n = le16_at(b, p + 2);
        data.emplace(b.begin() + static_cast<std::ptrdiff_t>(p + 12),
                     b.begin() + static_cast<std::ptrdiff_t>(p + 12 + n));
        p += n + 16;
    }
    return data;
}

// Recovery, measured: over files that each have one damage, the share of the active records the
// damage did not touch that reach the new file.
TEST(Property, OneDamageCostsOnlyTheRecordsItTouches) {
    ScratchDir dir(true);
    const std::string old_dat = dir.file("old.dat");
    const std::string new_dat = dir.file("new.dat");
    std::size_t intact = 0;
    std::size_t kept = 0;
    for (std::uint32_t seed = 1; seed <= 400; ++seed) {
        const datgen::DamageCase c = datgen::one_damage(seed);
        write_file(old_dat, c.file);
        run_tool({old_dat, new_dat});
        std::multiset<std::string> copied = records_in(read_file(new_dat));
        for (const Bytes& data : c.intact) {
            ++intact;
            if (auto it = copied.find(std::string(data.begin(), data.end())); it != copied.end()) {
                copied.erase(it);
                ++kept;
            }
        }
    }
    std::printf("recovered %zu of %zu intact active records\n", kept, intact);
    EXPECT_GE(kept * 1000, intact * 999);
}

// The fuzz target's seed recipes, each a damaged file on a failing disk, hold every property,
// with -r too; a file whose only damage is to its header gives up none of its records.
TEST(Property, EverySeedRecipeSalvagesSoundly) {
    ScratchDir dir(true);
    int promised = 0;  // seeds whose every active record must be copied
    for (const auto& [name, bytes] : datgen::recipe_corpus()) {
        const datgen::Recipe recipe = datgen::parse_recipe(bytes.data(), bytes.size());
        const auto expanded = datgen::expand_recipe(recipe, dir.file("old.dat"));
        ASSERT_TRUE(expanded) << name;
        FaultyDisk disk;
        disk.bad_sectors = expanded->bad_sectors;
        disk.size = expanded->shrinks_to;
        const auto all_active = every_active_record(*expanded, dir.file("old.dat"));
        EXPECT_EQ(check_salvage(dir.path().string(), &disk, all_active), "") << name;
        disk.forget();
        EXPECT_EQ(check_repair(dir.path().string(), &disk), "") << name;
        promised += all_active ? 1 : 0;
    }
    // The clean seed and the six whose only damage is to the file header: zeroed, noise, two
    // garbled versions, two unreadable sectors 0.
    EXPECT_EQ(promised, 7);
}

}  // namespace

namespace {

// Records up to the longest length and damage far apart: records, trailers and damaged
// stretches fall across every boundary of the tool's read window.
TEST(Property, LargeFileWithLongRecordsLosesOnlyTheDamage) {
    DatFile f;
    std::uint32_t kept = 0;
    std::uint32_t damaged = 0;
    std::uint64_t kept_bytes = 0;
    for (std::uint32_t i = 0; f.size() < 6u << 20; ++i) {
        Record r;
        r.data = Bytes(i % 5 == 0 ? 65535 : (i * 7919) % 65535 + 1,
                       static_cast<std::uint8_t>('A' + i % 26));
        if (i % 11 == 3) {
            r.trailer = 0x7FFFFFFFu;  // torn: the scan must find the next record
            ++damaged;
        } else if (i % 17 == 5) {
            f.raw(Bytes(70000, 0));  // a zeroed stretch, longer than any record
            ++damaged;
        }
        if (!r.trailer) {
            ++kept;
            kept_bytes += r.data.size() + 16;
        }
        f.add(r);
    }
    const Bytes file = f.finish();
    ScratchDir dir(true);
    EXPECT_EQ(check_salvage(file.data(), file.size(), dir.path().string()), "");

    write_file(dir.file("old.dat"), file);
    const auto r = run_tool({dir.file("old.dat"), dir.file("new.dat")});
    EXPECT_EQ(r.status, static_cast<int>(damaged));
    EXPECT_NE(r.out.find("      Active Records Copied  = " + std::to_string(kept) + "\n"),
              std::string::npos);
    EXPECT_EQ(fs::file_size(dir.file("new.dat")), 512 + kept_bytes);
}

}  // namespace
