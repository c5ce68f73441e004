// Data file generator. Damage is applied to the bytes after the header block, so that most
// files pass the header checks and exercise the walk.
#include "datgen.hpp"

#include <algorithm>
#include <random>

namespace datgen {

using namespace datbuild;

namespace {

Bytes letters(std::size_t n, char first) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(first + static_cast<char>(i % 26));
    }
    return b;
}

Bytes random_bytes(std::mt19937& rng, std::size_t n) {
    Bytes b(n);
    for (auto& x : b) {
        x = static_cast<std::uint8_t>(rng());
    }
    return b;
}

std::uint32_t pick(std::mt19937& rng, std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng);
}

// n letters of data for a record of the given type: lower case for a deleted record, so that a
// dump shows which it was.
Bytes letters_for(std::uint8_t type, std::size_t n) {
    return letters(n, type == 1 ? 'a' : 'A');
}

// One of the kinds of damage a file meets, somewhere after the header block.
void damage(std::mt19937& rng, Bytes& b) {
    if (b.size() <= 512) {
        return;
    }
    const auto body = static_cast<std::uint32_t>(b.size() - 512);
    const std::size_t at = 512 + pick(rng, 0, body - 1);
    const std::size_t span = std::min<std::size_t>(pick(rng, 1, 64), b.size() - at);
    switch (pick(rng, 0, 5)) {
        case 0:  // a flipped byte
            b[at] ^= static_cast<std::uint8_t>(1u << pick(rng, 0, 7));
            break;
        case 1:  // a zeroed stretch
            std::fill_n(b.begin() + static_cast<std::ptrdiff_t>(at), span, 0);
            break;
        case 2: {  // random bytes written over the file
            const Bytes junk = random_bytes(rng, span);
            std::copy(junk.begin(), junk.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
            break;
        }
        case 3: {  // random bytes inserted
            const Bytes junk = random_bytes(rng, span);
            b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), junk.begin(), junk.end());
            break;
        }
        case 4:  // cut short
            b.resize(at);
            break;
        default:  // bytes lost from the middle
            b.erase(b.begin() + static_cast<std::ptrdiff_t>(at),
                    b.begin() + static_cast<std::ptrdiff_t>(at + span));
            break;
    }
}

// A row of data as a database holds it, with the row's number in it so that every row differs:
// fixed-width text, a binary row of small integers and zeros like a dumped C struct (where
// record-shaped bytes abound), or random bytes.
Bytes row(std::mt19937& rng, std::uint32_t style, std::uint32_t number, std::size_t n) {
    Bytes b;
    if (style == 0) {
        const std::string line = "ROW " + std::to_string(number) + " NAME SMITH CITY LEEDS ";
        for (std::size_t i = 0; i < n; ++i) {
            b.push_back(static_cast<std::uint8_t>(line[i % line.size()]));
        }
        return b;
    }
    if (style == 1) {
        put32(b, number);
        while (b.size() < n) {
            if (pick(rng, 0, 2) == 0) {
                put32(b, pick(rng, 0, 40));
            } else {
                put16(b, pick(rng, 0, 3) == 0 ? pick(rng, 0, 40) : 0);
            }
        }
        b.resize(n);
        return b;
    }
    b = random_bytes(rng, n);
    for (std::size_t i = 0; i < 4 && i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(number >> (8 * i));
    }
    return b;
}

}  // namespace

DamageCase one_damage(std::uint32_t seed) {
    std::mt19937 rng(seed);
    const bool fixed = pick(rng, 0, 2) == 0;
    const std::uint32_t record_length = pick(rng, 8, 120);
    const std::uint32_t style = pick(rng, 0, 2);
    DatFile f(fixed ? 1 : 0, record_length);
    struct Placed {
        std::size_t at;
        Record record;
    };
    std::vector<Placed> placed;
    const std::uint32_t records = pick(rng, 40, 200);
    for (std::uint32_t i = 0; i < records; ++i) {
        const std::uint32_t roll = pick(rng, 0, 19);
        const auto type = static_cast<std::uint8_t>(roll < 17 ? 0 : roll < 19 ? 1 : 2);
        const std::size_t n = fixed && type <= 1 ? record_length : pick(rng, 4, 200);
        placed.push_back({f.size(), make_record(type, row(rng, style, i, n))});
        f.add(placed.back().record);
    }
    DamageCase c{f.finish(), {}};

    // The damage: [first, last) of the file's bytes.
    std::size_t first = 0;
    std::size_t last = 0;
    if (pick(rng, 0, 1) == 0) {
        const Placed& victim = placed[pick(rng, 0, records - 1)];
        first = victim.at + 2;
        last = first + 2;
        const std::uint32_t length = datbuild::le16_at(c.file, first);
        const std::uint32_t damaged =
            pick(rng, 0, 1) == 0 ? length ^ (1u << pick(rng, 0, 15)) : pick(rng, 0, 65535);
        c.file[first] = static_cast<std::uint8_t>(damaged);
        c.file[first + 1] = static_cast<std::uint8_t>(damaged >> 8);
    } else {
        const auto body = static_cast<std::uint32_t>(c.file.size() - 512);
        first = 512 + pick(rng, 0, body - 1);
        last = std::min<std::size_t>(c.file.size(), first + pick(rng, 1, 4096));
        const bool zeros = pick(rng, 0, 1) == 0;
        for (std::size_t i = first; i < last; ++i) {
            c.file[i] = zeros ? 0 : static_cast<std::uint8_t>(rng());
        }
    }
    for (const Placed& p : placed) {
        const std::size_t end = p.at + p.record.data.size() + 16;
        if (p.record.type == 0 && (end <= first || p.at >= last)) {
            c.intact.push_back(p.record.data);
        }
    }
    return c;
}

Bytes make_sample() {
    DatFile f(0, 0, 2, 1024);
    f.active(text("Ada Lovelace, 1815")).active(text("Charles Babbage, 1791"));
    f.deleted(text("Old entry, removed"));
    f.add(make_record(2, Bytes(12, 0)));
    Record torn = make_record(0, letters_for(0, 24));
    torn.trailer = 23;  // header and trailer disagree
    f.add(torn);
    f.active(text("Grace Hopper, 1906"));
    f.raw(Bytes(9, 0));  // a zeroed stretch
    f.active(text("Alan Turing, 1912")).active(text("Edsger Dijkstra, 1930"));
    Record cut = make_record(0, letters_for(0, 40));
    f.add(cut);
    Bytes b = f.finish();     // eof_address as it was before the damage
    b.resize(b.size() - 25);  // the last record lost its end
    return b;
}

Bytes random_damaged(std::uint32_t seed) {
    std::mt19937 rng(seed);
    const auto organization = static_cast<std::uint16_t>(pick(rng, 0, 3));
    const std::uint32_t record_length = pick(rng, 1, 40);
    DatFile f(organization, record_length, pick(rng, 0, 30) == 0 ? 3 : 2);
    const std::uint32_t records = pick(rng, 0, 40);
    for (std::uint32_t i = 0; i < records; ++i) {
        const std::uint32_t roll = pick(rng, 0, 99);
        const auto type = static_cast<std::uint8_t>(roll < 70   ? 0
                                                    : roll < 85 ? 1
                                                    : roll < 97 ? 2
                                                                : 7);
        const bool sized = (organization & 1) && type <= 1;
        const std::uint32_t length = sized                   ? record_length
                                     : pick(rng, 0, 60) == 0 ? 0
                                                             : pick(rng, 1, 90);
        Record r = make_record(type, letters_for(type, length));
        r.byte1 = static_cast<std::uint8_t>(rng());
        r.word4 = static_cast<std::uint32_t>(rng());
        r.ordinal = static_cast<std::uint32_t>(rng());
        f.add(r);
    }
    Bytes b = f.finish(pick(rng, 0, 9) == 0
                           ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(rng()))
                           : std::nullopt);
    const std::uint32_t damages = pick(rng, 0, 4);
    for (std::uint32_t i = 0; i < damages; ++i) {
        damage(rng, b);
    }
    return b;
}

Stretch workload_stretch(const std::string& name, std::size_t size) {
    if (name != "W3" && name != "W4") {
        return {};
    }
    const std::size_t first = size / 2;
    return {first, first + size / 4 - 1};
}

// The pathological workloads: W7 every byte 0x01, so that at every offset the scan finds a
// known type and a length and only the trailer rules the candidate out; W8 20-byte records, each
// with a wrong trailer and a 1-byte look-alike record 3 bytes in, so that every record is a
// resynchronisation; W9 a fixed-length file of 65,535-byte records whose trailers are all wrong, so
// that the whole file is scanned and dumped.
Bytes pathological(const std::string& name, std::size_t size) {
    if (name == "W7") {
        return DatFile().raw(Bytes(size - 512, 0x01)).finish();
    }
    const bool lookalikes = name == "W8";
    Record r = lookalikes ? make_record(0, text("ABCD")) : make_record(0, letters(65535, 'A'));
    r.word4 = lookalikes ? 0x100 : 0;  // with the length's high byte: type 0, length 1 at +3
    r.trailer = lookalikes ? 1 : 65534;
    DatFile f(lookalikes ? 0 : 1, lookalikes ? 0 : 65535);
    while (f.size() < size) {
        f.add(r);
    }
    return f.finish();
}

Bytes workload(const std::string& name, std::size_t size) {
    if (name == "W7" || name == "W8" || name == "W9") {
        return pathological(name, size);
    }
    if (name != "W1" && name != "W2" && name != "W3" && name != "W4" && name != "W5") {
        return {};
    }
    std::mt19937 rng(2026);
    const bool fixed = name == "W2";
    DatFile f(fixed ? 1 : 0, fixed ? 64 : 0);
    const Stretch stretch = workload_stretch(name, size);
    std::size_t since_damage = 0;
    std::uint32_t n = 0;
    while (f.size() < size) {
        if (stretch.last != 0 && f.size() >= stretch.first) {
            f.raw(name == "W3" ? random_bytes(rng, stretch.last - stretch.first + 1)
                               : Bytes(stretch.last - stretch.first + 1, 0));
            // Only intact records after the stretch.
            while (f.size() < size) {
                f.active(letters(pick(rng, 20, 180), 'A'));
            }
            break;
        }
        Record r;
        if (fixed) {
            const std::uint32_t roll = pick(rng, 0, 9);
            const auto type = static_cast<std::uint8_t>(roll < 7 ? 0 : roll < 9 ? 1 : 2);
            r = make_record(type, letters_for(type, roll < 9 ? 64 : pick(rng, 8, 120)));
        } else {
            const auto type = static_cast<std::uint8_t>(pick(rng, 0, 9) == 0 ? 1 : 0);
            r = make_record(type, letters_for(type, pick(rng, 20, 180)));
        }
        r.ordinal = n++;
        if (name == "W5" && since_damage >= 4096) {
            r.trailer = static_cast<std::uint32_t>(r.data.size() + 1);
            since_damage = 0;
        }
        since_damage += r.data.size() + 16;
        f.add(r);
    }
    return f.finish();
}

}  // namespace datgen
