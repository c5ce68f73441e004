// A damaged data file described in a few bytes, as the fuzz target takes its input: the file
// header, the disk's unreadable sectors and where the file shrinks, and runs of records with
// their damage. Any bytes are a recipe; expanding one repeats its runs into a file of more than
// a read window, holding no more than a record in memory, so that every input crosses windows.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "builder.hpp"

namespace datgen {

using datbuild::Bytes;

enum class Damage : std::uint8_t {
    none,
    wrong_trailer,    // trailer length + 1 + fill
    wrong_length,     // the header's length field changed by fill, in both of its bytes
    garbage_before,   // fill bytes of fill in front of the record
    header_overrun,   // the record header overwritten with fill
    empty,            // a record of length 0
    cut,              // the record's last fill bytes lost
    negative_trailer  // the trailer with its top bit set
};

// What befalls the 16 bytes of the file header, after the file is written.
enum class HeaderDamage : std::uint8_t {
    none,
    zeros,           // all 16 zero, as an imaging copy leaves a sector it could not read
    noise,           // all 16 overwritten with bytes drawn from the recipe's record length
    garbled_version  // the version's low byte flipped
};

struct Recipe {
    std::uint16_t organization = 0;  // 0 to 3
    std::uint32_t record_length = 0;
    bool wrong_version = false;
    bool wrong_eof_address = false;
    HeaderDamage header_damage = HeaderDamage::none;
    std::optional<std::uint32_t> shrinks_to;  // the size the file shrinks to while it is read
    std::vector<std::uint16_t> bad_sectors;   // taken modulo the file's sectors
    struct Run {
        std::uint8_t type = 0;
        std::uint16_t length = 0;
        std::uint8_t fill = 0;  // below 0x80 every data byte; from 0x80 rising from it
        Damage damage = Damage::none;
        std::uint8_t repeat = 1;  // 1 to 32 records alike
    };
    std::vector<Run> runs;
};

// A file spans several of the tool's read windows.
constexpr std::uint32_t kMinFileSize = (1u << 20) + (64u << 10);
constexpr std::uint32_t kMaxFileSize = 3u << 20;

Recipe parse_recipe(const std::uint8_t* data, std::size_t size);
Bytes encode_recipe(const Recipe& recipe);

// The file a recipe expands to, as written, and its disk's faults resolved against its size.
struct Expanded {
    std::uint32_t size = 0;
    std::set<std::uint32_t> bad_sectors;
    std::optional<std::uint32_t> shrinks_to;
    // The records written: how many, how many of them active, whether every one is intact under
    // the recipe's own header (framed whole, not empty, of its length where it is fixed), and
    // the data lengths of the active and deleted ones among the first 16.
    std::uint32_t records = 0;
    std::uint32_t active = 0;
    bool intact = true;
    bool one_length = true;  // every active and deleted record has the same length
    std::vector<std::uint32_t> first_lengths;
};

// Writes the recipe's file to path; nullopt when it cannot be written.
std::optional<Expanded> expand_recipe(const Recipe& recipe, const std::string& path);

// Seed recipes, each with a file name: every diagnosis, and bad sectors in the header, a record
// header, data and trailer, a stretch the scan crosses, the last partial sector and across a
// read window's boundary, and a file that shrinks.
std::vector<std::pair<std::string, Bytes>> recipe_corpus();

}  // namespace datgen
