// The walk in-process: what it delivers, what it tells of the damage it meets, and that a silent
// walk tells nothing and leaves the file as the real walk needs it.
#include <gtest/gtest.h>

#include "faulty_disk.hpp"
#include "inprocess.hpp"
#include "salvage/walk.hpp"

using namespace testkit;

namespace {

// Records of every size up to the longest, across several refills of the read window: each is
// delivered whole, with its own data, and the position moves just past it.
TEST(Walk, DeliversEveryRecordWholeAcrossWindowRefills) {
    DatFile f;
    std::vector<Bytes> data;
    for (std::uint32_t i = 0; f.size() < (3u << 20); ++i) {
        Bytes d(i % 7 == 0 ? 65535 : (i * 7919) % 40000 + 1);
        for (std::size_t k = 0; k < d.size(); ++k) {
            d[k] = static_cast<std::uint8_t>(k * 31 + i);
        }
        data.push_back(d);
        f.active(d);
    }
    Harness h(f.finish());
    datmend::Walk walk(h.damaged, h.rules, 512, &h.log);
    std::uint32_t pos = 512;
    for (const Bytes& d : data) {
        const auto record = walk.next();
        ASSERT_TRUE(record);
        EXPECT_EQ(record->offset, pos);
        pos += static_cast<std::uint32_t>(d.size()) + 16;
        ASSERT_EQ(record->data.size(), d.size());
        EXPECT_TRUE(std::equal(d.begin(), d.end(), record->data.begin()));
    }
    EXPECT_TRUE(walk.at_end());
    EXPECT_EQ(h.output(), "");
}

// The diagnosis, then the dump of the stretch up to the landing, counted once, then the record
// found there.
TEST(Walk, DiagnosesDumpsAndCountsTheDamageThenGoesOnFromTheLanding) {
    Bytes file(519, 0xEE);
    std::fill(file.begin() + 512, file.end(), 0xFF);  // a record 65,535 bytes long
    Record good = make_record(0, Bytes(5, 'G'));
    append_record(file, good);
    Harness h(file);
    datmend::Walk walk(h.damaged, h.rules, 512, &h.log);
    const auto record = walk.next();
    ASSERT_TRUE(record);
    EXPECT_EQ(record->offset, 519u);
    EXPECT_EQ(h.output(),
              "\n*** Incomplete Data Record at end of file! ***" + dump_text(file, 512, 518));
    EXPECT_EQ(h.log.errors, 1u);
    EXPECT_EQ(h.log.bytes, 7u);
    EXPECT_FALSE(walk.next());
    EXPECT_TRUE(walk.at_end());
}

// A silent walk meets the same records and damage as the real one and tells nothing of it; the
// sectors it found unreadable are not read again by the real walk that follows it.
TEST(Walk, ASilentWalkTellsNothingAndReadsNoBadSectorTwice) {
    DatFile f;
    for (int i = 0; i < 20000; ++i) {  // more than a window: the real walk reads it again
        Record r = make_record(0, text("record " + std::to_string(i) + " of the file"));
        if (i % 500 == 7) {
            r.trailer = 1;
        }
        f.add(r);
    }
    const Bytes file = f.finish();
    FaultyDisk disk;
    disk.bad_sectors = {3, 9, 10, 1000};
    auto offsets = [](datmend::Walk& walk) {
        std::vector<std::uint32_t> at;
        while (const auto record = walk.next()) {
            at.push_back(record->offset);
        }
        return at;
    };

    Harness alone(file, 0, 0, disk.reader());
    datmend::Walk loud_alone(alone.damaged, alone.rules, 512, &alone.log);
    const std::vector<std::uint32_t> expected = offsets(loud_alone);
    ASSERT_GT(alone.log.errors, 0u);

    disk.forget();
    Harness h(file, 0, 0, disk.reader());
    datmend::Walk silent(h.damaged, h.rules, 512, nullptr);
    EXPECT_EQ(offsets(silent), expected);
    EXPECT_EQ(disk.found_bad.size(), 4u);
    datmend::Walk loud(h.damaged, h.rules, 512, &h.log);
    EXPECT_EQ(offsets(loud), expected);
    EXPECT_EQ(h.output(), alone.output());
    EXPECT_EQ(h.log.errors, alone.log.errors);
    EXPECT_TRUE(disk.never_read_a_bad_sector_again());
}

}  // namespace
