// Recipes: parsing any bytes, encoding seeds, and expanding a recipe into a file on disk.
#include "recipe.hpp"

#include <algorithm>
#include <cstdio>

namespace datgen {

using namespace datbuild;

namespace {

constexpr std::size_t kHeaderBytes = 6;  // before the bad sectors
constexpr std::size_t kRunBytes = 5;
constexpr std::size_t kMostBadSectors = 16;

std::uint8_t at(const std::uint8_t* data, std::size_t size, std::size_t i) {
    return i < size ? data[i] : 0;
}

Bytes data_of(const Recipe::Run& run) {
    Bytes d(run.length);
    for (std::size_t i = 0; i < d.size(); ++i) {
        d[i] = static_cast<std::uint8_t>(run.fill < 0x80 ? run.fill : run.fill + i);
    }
    return d;
}

// The bytes of one record of the run, damage applied.
Bytes record_bytes(const Recipe::Run& run) {
    Record r = make_record(run.type, run.damage == Damage::empty ? Bytes{} : data_of(run));
    const auto n = static_cast<std::uint32_t>(r.data.size());
    switch (run.damage) {
        case Damage::wrong_trailer:
            r.trailer = n + 1 + run.fill;
            break;
        case Damage::wrong_length:
            r.length = (n ^ (run.fill * 0x101u | 1u)) & 0xFFFF;
            break;
        case Damage::negative_trailer:
            r.trailer = n | 0x80000000u;
            break;
        default:
            break;
    }
    Bytes b;
    if (run.damage == Damage::garbage_before) {
        b.assign(run.fill, run.fill);
    }
    append_record(b, r);
    if (run.damage == Damage::header_overrun) {
        std::fill_n(b.begin(), 12, run.fill);
    }
    if (run.damage == Damage::cut) {
        b.resize(b.size() > run.fill ? b.size() - run.fill : 0);
    }
    return b;
}

// Counts the record of run just written into e.
void note_record(Expanded& e, const Recipe& recipe, const Recipe::Run& run) {
    const bool fixed = (recipe.organization & 1) != 0 && run.type <= 1;
    const bool intact = run.damage == Damage::none && run.length != 0 &&
                        (!fixed || run.length == recipe.record_length);
    e.intact = e.intact && intact;
    if (run.type <= 1) {
        e.one_length =
            e.one_length && (e.first_lengths.empty() || e.first_lengths[0] == run.length);
        if (e.records < 16) {
            e.first_lengths.push_back(run.length);
        }
    }
    ++e.records;
    e.active += run.type == 0 ? 1 : 0;
}

void damage_header(const Recipe& recipe, Bytes& head) {
    switch (recipe.header_damage) {
        case HeaderDamage::none:
            break;
        case HeaderDamage::zeros:
            std::fill(head.begin(), head.end(), 0);
            break;
        case HeaderDamage::noise: {
            std::uint32_t x = recipe.record_length * 2654435761u + 12345u;
            for (std::uint8_t& b : head) {
                x = x * 1103515245u + 12345u;
                b = static_cast<std::uint8_t>(x >> 24);
            }
            break;
        }
        case HeaderDamage::garbled_version:
            head[2] ^= 0x5A;
            break;
    }
}

bool put(std::FILE* f, const Bytes& b) {
    return b.empty() || std::fwrite(b.data(), 1, b.size(), f) == b.size();
}

}  // namespace

Recipe parse_recipe(const std::uint8_t* data, std::size_t size) {
    Recipe r;
    const std::uint8_t flags = at(data, size, 0);
    r.organization = flags & 3;
    r.wrong_version = (flags & 4) != 0;
    r.wrong_eof_address = (flags & 8) != 0;
    r.header_damage = static_cast<HeaderDamage>((flags >> 5) & 3);
    r.record_length = static_cast<std::uint32_t>(at(data, size, 1) | at(data, size, 2) << 8);
    if ((flags & 16) != 0) {
        r.shrinks_to = static_cast<std::uint32_t>(at(data, size, 3) | at(data, size, 4) << 8) * 64;
    }
    const std::size_t bad = std::min<std::size_t>(at(data, size, 5), kMostBadSectors);
    std::size_t i = kHeaderBytes;
    for (std::size_t k = 0; k < bad; ++k, i += 2) {
        r.bad_sectors.push_back(
            static_cast<std::uint16_t>(at(data, size, i) | at(data, size, i + 1) << 8));
    }
    for (; i < size; i += kRunBytes) {
        Recipe::Run run;
        run.type = at(data, size, i);
        run.length = static_cast<std::uint16_t>(at(data, size, i + 1) | at(data, size, i + 2) << 8);
        run.fill = at(data, size, i + 3);
        const std::uint8_t damage = at(data, size, i + 4);
        run.damage = static_cast<Damage>(damage & 7);
        run.repeat = static_cast<std::uint8_t>((damage >> 3) + 1);
        r.runs.push_back(run);
    }
    return r;
}

Bytes encode_recipe(const Recipe& r) {
    Bytes b;
    b.push_back(static_cast<std::uint8_t>((r.organization & 3) | (r.wrong_version ? 4 : 0) |
                                          (r.wrong_eof_address ? 8 : 0) | (r.shrinks_to ? 16 : 0) |
                                          static_cast<std::uint8_t>(r.header_damage) << 5));
    put16(b, r.record_length);
    put16(b, r.shrinks_to.value_or(0) / 64);
    b.push_back(static_cast<std::uint8_t>(r.bad_sectors.size()));
    for (const std::uint16_t s : r.bad_sectors) {
        put16(b, s);
    }
    for (const Recipe::Run& run : r.runs) {
        b.push_back(run.type);
        put16(b, run.length);
        b.push_back(run.fill);
        b.push_back(static_cast<std::uint8_t>(static_cast<std::uint8_t>(run.damage) |
                                              (run.repeat - 1) << 3));
    }
    return b;
}

std::optional<Expanded> expand_recipe(const Recipe& recipe, const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return std::nullopt;
    }
    DatFile header(recipe.organization, recipe.record_length, recipe.wrong_version ? 3 : 2);
    bool ok = put(f, header.finish());
    std::uint64_t size = header.size();
    Expanded e;
    // The runs again and again, each time whole, until the file is past the first read window.
    while (!recipe.runs.empty() && size < kMinFileSize && ok) {
        const std::uint64_t before = size;
        for (const Recipe::Run& run : recipe.runs) {
            const Bytes one = record_bytes(run);
            for (int k = 0; k < run.repeat && size + one.size() <= kMaxFileSize; ++k) {
                ok = ok && put(f, one);
                size += one.size();
                note_record(e, recipe, run);
            }
        }
        if (size == before) {
            break;  // every record cut to nothing: no pass would make the file grow
        }
    }
    // eof_address, now that the size is known, and the header's damage.
    Bytes head =
        header.finish(static_cast<std::uint32_t>(size) + (recipe.wrong_eof_address ? 1 : 0));
    head.resize(16);
    damage_header(recipe, head);
    ok = ok && std::fseek(f, 0, SEEK_SET) == 0 && put(f, head);
    ok = std::fclose(f) == 0 && ok;
    if (!ok) {
        return std::nullopt;
    }
    e.size = static_cast<std::uint32_t>(size);
    const std::uint32_t sectors = (e.size + 511) / 512;
    for (const std::uint16_t s : recipe.bad_sectors) {
        e.bad_sectors.insert(s % sectors);
    }
    if (recipe.shrinks_to && *recipe.shrinks_to < e.size) {
        e.shrinks_to = recipe.shrinks_to;
    }
    return e;
}

std::vector<std::pair<std::string, Bytes>> recipe_corpus() {
    using Run = Recipe::Run;
    const Run clean{0, 100, 'A', Damage::none, 32};
    const Run big{0, 60000, 0x90, Damage::none, 20};  // 1.2 MB: across read windows
    auto with = [](std::vector<Run> runs, std::vector<std::uint16_t> bad = {}) {
        Recipe r;
        r.runs = std::move(runs);
        r.bad_sectors = std::move(bad);
        return r;
    };
    std::vector<std::pair<std::string, Recipe>> seeds{
        {"clean", with({clean,
                        {1, 7, 'd', Damage::none, 3},
                        {2, 30, 0, Damage::none, 2},
                        {7, 9, 'x', Damage::none, 1},
                        clean})},
        {"wrong-trailer", with({clean, {0, 50, 'B', Damage::wrong_trailer, 2}, clean})},
        {"negative-trailer", with({clean, {0, 50, 'B', Damage::negative_trailer, 1}, clean})},
        {"wrong-length", with({clean, {0, 40, 'C', Damage::wrong_length, 1}, clean})},
        {"length-past-end",
         with({clean, {0, 200, 0x81, Damage::wrong_length, 1}, {0, 50, 'Z', Damage::none, 5}})},
        {"garbage", with({clean, {0, 20, 0x02, Damage::garbage_before, 1}, clean})},
        {"header-overrun", with({clean, {0, 30, 0x01, Damage::header_overrun, 1}, clean})},
        {"empty-record", with({clean, {0, 0, 0, Damage::empty, 2}, clean})},
        {"cut-at-end", with({clean, {0, 80, 'E', Damage::cut, 1}})},
        {"lookalikes", with({{0, 64, 0x80, Damage::wrong_trailer, 32}, clean})},
        {"bad-header-sector", with({clean}, {0})},
        {"bad-record-sectors", with({clean, clean, clean}, {2, 5, 6})},
        {"bad-sector-in-scan", with({clean, {0, 900, 'F', Damage::wrong_trailer, 1}, clean}, {8})},
        {"bad-last-sector", with({clean, {0, 77, 'G', Damage::none, 1}}, {8})},  // 4317 bytes
        {"bad-sectors-at-window-edge", with({big, clean}, {2047, 2048, 4095})},
        {"records-across-windows", with({big, {0, 65535, 0x85, Damage::wrong_trailer, 1}, big})},
    };
    Recipe fixed = with({{0, 16, 'H', Damage::none, 20},
                         {1, 30, 'h', Damage::none, 1},
                         {2, 30, 'o', Damage::none, 1},
                         {0, 16, 'H', Damage::none, 5}});
    fixed.organization = 1;
    fixed.record_length = 16;
    seeds.emplace_back("fixed-length", fixed);
    Recipe shrinking = with({clean, clean});
    shrinking.shrinks_to = 64 * 40;
    seeds.emplace_back("shrinks-mid-file", shrinking);
    Recipe tail = with({clean});
    tail.shrinks_to = 64 * 2;
    seeds.emplace_back("shrinks-into-header-tail", tail);
    Recipe header_only = with({});  // a short read that the next one continues
    header_only.shrinks_to = 64;
    seeds.emplace_back("header-only-shrinks", header_only);
    Recipe refused = with({clean});
    refused.wrong_version = true;
    refused.wrong_eof_address = true;
    seeds.emplace_back("wrong-version", refused);
    for (const auto& [name, damage] :
         {std::pair{"header-zeroed", HeaderDamage::zeros},
          std::pair{"header-noise", HeaderDamage::noise},
          std::pair{"header-garbled-version", HeaderDamage::garbled_version}}) {
        Recipe damaged = with({{0, 16, 'H', Damage::none, 20},
                               {1, 16, 'h', Damage::none, 3},
                               {2, 30, 'o', Damage::none, 1},
                               {0, 16, 'H', Damage::none, 5}});
        damaged.organization = 1;
        damaged.record_length = 16;
        damaged.header_damage = damage;
        seeds.emplace_back(name, damaged);
    }
    Recipe lost_header = with({clean, {1, 7, 'd', Damage::none, 3}, clean}, {0});
    seeds.emplace_back("header-unreadable", lost_header);

    std::vector<std::pair<std::string, Bytes>> files;
    for (const auto& [name, recipe] : seeds) {
        files.emplace_back(name + ".recipe", encode_recipe(recipe));
    }
    return files;
}

}  // namespace datgen
