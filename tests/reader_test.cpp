// The record reader in-process: what it delivers and how its record buffer grows.
#include <gtest/gtest.h>

#include "inprocess.hpp"
#include "salvage/reader.hpp"

using namespace testkit;

namespace {

TEST(Reader, BufferGrowsToExactlyTheLongestRecordAndNeverShrinks) {
    const std::vector<std::uint32_t> lengths{10, 20, 30, 5, 30};
    const std::vector<std::uint32_t> capacities{10, 20, 30, 30, 30};
    DatFile f;
    for (std::uint32_t n : lengths) {
        f.active(Bytes(n, static_cast<std::uint8_t>('a' + n % 26)));
    }
    Harness h(f.finish());
    h.state.damaged.seek(512);
    std::uint32_t pos = 512;
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        const std::uint32_t n = lengths[i];
        ASSERT_TRUE(datmend::read_next_record(h.state));
        pos += n + 16;
        EXPECT_EQ(h.state.damaged.tell(), pos);
        EXPECT_EQ(h.state.record.rec_length, n);
        EXPECT_EQ(h.state.record_buffer[n - 1], 'a' + n % 26);
        EXPECT_EQ(h.state.record_capacity, capacities[i]);
    }
    EXPECT_EQ(h.output(), "");
}

}  // namespace
