// The record reader in-process: what it delivers, and where it leaves the damaged file.
#include <gtest/gtest.h>

#include "inprocess.hpp"
#include "salvage/reader.hpp"

using namespace testkit;

namespace {

// Records of every size up to the longest, across several refills of the read window: each is
// delivered whole, with its own data, and the position moves just past it.
TEST(Reader, DeliversEveryRecordWholeAcrossWindowRefills) {
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
    h.state.damaged.seek(512);
    std::uint32_t pos = 512;
    for (const Bytes& d : data) {
        ASSERT_TRUE(datmend::read_next_record(h.state));
        pos += static_cast<std::uint32_t>(d.size()) + 16;
        EXPECT_EQ(h.state.damaged.tell(), pos);
        EXPECT_EQ(h.state.record.rec_length, d.size());
        ASSERT_EQ(h.state.record_data.size(), d.size());
        EXPECT_TRUE(std::equal(d.begin(), d.end(), h.state.record_data.begin()));
    }
    EXPECT_EQ(pos, h.state.physical_eof);
    EXPECT_EQ(h.output(), "");
}

}  // namespace
