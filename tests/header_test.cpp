// The file header judged by the records, in-process: each kind of damage to the first 16 bytes
// rebuilt from the records and every record salvaged, the fixed-length test's outcomes, and what
// is not a data file refused as it always was, with no output touched.
#include <gtest/gtest.h>

#include <random>

#include "faulty_disk.hpp"
#include "invariants.hpp"
#include "support.hpp"

using namespace testkit;

namespace {

class Header : public FilesTest {
  protected:
    // Active records of varied lengths, with a deleted one among them.
    static std::vector<Record> varied() {
        std::vector<Record> rs;
        for (int i = 0; i < 20; ++i) {
            std::string s = "customer " + std::to_string(i) + " ";
            s.resize(20 + (i * 7) % 30, 'x');
            rs.push_back(make_record(i == 5 ? 1 : 0, text(s)));
        }
        return rs;
    }
    static Bytes file_of(const std::vector<Record>& rs, std::uint16_t organization = 0,
                         std::uint32_t record_length = 0) {
        DatFile f(organization, record_length, 2, 4096);
        for (const Record& r : rs) {
            f.add(r);
        }
        return f.finish();
    }
    static std::vector<Record> active_of(const std::vector<Record>& rs) {
        std::vector<Record> kept;
        for (const Record& r : rs) {
            if (r.type == 0) {
                kept.push_back(r);
            }
        }
        return kept;
    }
    // The lines that say what a header was rebuilt as.
    // A header report's organization, record length and version lines, without its title and
    // the two addresses.
    static std::string rebuilt_as(std::uint16_t organization, std::int32_t record_length) {
        const std::string report = header_report(organization, record_length, 2, 0, 0);
        const std::size_t from = report.find("           File Organization");
        const std::size_t to = report.find("   Freelist Starting Address");
        return "\n*** Damaged File Header, Rebuilt from the Records! ***\n" +
               report.substr(from, to - from);
    }
};

TEST_F(Header, EachKindOfDamageIsRebuiltAndEveryRecordSalvaged) {
    const std::vector<Record> rs = varied();
    std::vector<Record> fixed;
    for (int i = 0; i < 20; ++i) {
        fixed.push_back(make_record(i % 4 == 3 ? 1 : 0, text("fixed " + std::to_string(i % 10))));
    }
    std::mt19937 rng(23);
    struct Case {
        std::string what;
        Bytes file;
        std::vector<Record> records;
        bool sector_0_unreadable;
        std::uint16_t organization;  // rebuilt as
        std::int32_t record_length;
    };
    std::vector<Case> cases;
    cases.push_back({"sector 0 unreadable", file_of(rs), rs, true, 0, 0});
    Bytes zeroed = file_of(rs);
    std::fill_n(zeroed.begin(), 512, 0);  // as an imaging copy leaves what it could not read
    cases.push_back({"sector 0 zeroed", zeroed, rs, false, 0, 0});
    Bytes noise = file_of(rs);
    for (int k = 0; k < 16; ++k) {
        noise[k] = static_cast<std::uint8_t>(rng());
    }
    noise[0] = 0x35;  // an organization above 3 under a version other than 2
    noise[2] = 0x77;
    cases.push_back({"noise", noise, rs, false, 0, 0});
    Bytes version = file_of(fixed, 3, 7);
    version[2] = 0x12;
    cases.push_back({"garbled version, fixed length kept", version, fixed, false, 3, 7});
    cases.push_back({"garbled record length", file_of(fixed, 1, 0x0700), fixed, false, 1, 7});
    cases.push_back({"record length past 65,535", file_of(fixed, 1, 0x10007), fixed, false, 1, 7});
    cases.push_back({"variable length read as fixed", file_of(rs, 3, 24), rs, false, 2, 24});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(old_dat, c.file);
        FaultyDisk disk;
        if (c.sector_0_unreadable) {
            disk.bad_sectors = {0};
        }
        const InProcessRun run = salvage({old_dat, new_dat}, disk.reader());
        EXPECT_EQ(run.status, 1);  // the header's own dump
        EXPECT_EQ(run.errors, 1u);
        const std::vector<Record> kept = active_of(c.records);
        EXPECT_EQ(run.active, kept.size());
        const Bytes fresh = read_file(new_dat);
        Bytes expected = renumbered(kept);
        ASSERT_EQ(fresh.size(), expected.size());
        EXPECT_TRUE(std::equal(expected.begin() + 512, expected.end(), fresh.begin() + 512));
        EXPECT_EQ(le16_at(fresh, 0), c.organization);
        EXPECT_EQ(le16_at(fresh, 2), 2u);
        EXPECT_EQ(le32_at(fresh, 4), static_cast<std::uint32_t>(c.record_length));
        EXPECT_EQ(le32_at(fresh, 8), 0u);
        EXPECT_EQ(le32_at(fresh, 12), fresh.size());
        for (std::size_t b = 16; b < 512; ++b) {  // the tail as read, zeros where it was not
            ASSERT_EQ(fresh[b], c.sector_0_unreadable ? 0 : c.file[b]) << b;
        }
        std::vector<bool> lost(c.sector_0_unreadable ? 512 : 0, true);
        EXPECT_NE(run.report.find(rebuilt_as(c.organization, c.record_length) +
                                  dump_text(c.file, 0, 15, lost)),
                  std::string::npos);
    }

    // The whole report of one, byte for byte.
    write_file(old_dat, version);
    const InProcessRun run = salvage({old_dat, new_dat});
    const Bytes expected = renumbered(active_of(fixed));
    const auto eof = static_cast<std::int32_t>(version.size());
    EXPECT_EQ(run.report, banner(old_dat, new_dat) + header_report(3, 7, 0x12, 4096, eof) +
                              "ERROR!!  Wrong File Manager Version!\n" + rebuilt_as(3, 7) +
                              dump_text(version, 0, 15) +
                              summary(15, 5, 0, 1, static_cast<int>(expected.size()),
                                      static_cast<int>(version.size() - expected.size()), false));
    // Sector 0 unreadable, reported as such.
    write_file(old_dat, file_of(rs));
    FaultyDisk disk;
    disk.bad_sectors = {0};
    const InProcessRun unreadable = salvage({old_dat, new_dat}, disk.reader());
    const std::string opening = banner(old_dat, new_dat) +
                                "\n*** Unreadable File Header, Read Error! ***\n" +
                                rebuilt_as(0, 0);
    EXPECT_EQ(unreadable.report.substr(0, opening.size()), opening);
}

// A header that says the records are of fixed length is held to the first 16 of them.
TEST_F(Header, TheFixedLengthTestTakesTheRecordsWordOnlyWhenNoneAgrees) {
    std::vector<Record> one_agrees = varied();
    one_agrees[3].data.resize(40, 'x');  // the header's length: the header stands
    write_file(old_dat, file_of(one_agrees, 1, 40));
    InProcessRun run = salvage({old_dat, new_dat});
    EXPECT_EQ(run.report.find("Rebuilt"), std::string::npos);
    EXPECT_EQ(run.active, 1u);  // the walk holds every other record to length 40
    EXPECT_EQ(le16_at(read_file(new_dat), 0), 1u);

    std::vector<Record> few{make_record(2, text("overhead")), make_record(0, text("alone")),
                            make_record(2, text("more overhead"))};
    write_file(old_dat, file_of(few, 1, 40));  // one length is too few to go by
    run = salvage({old_dat, new_dat});
    EXPECT_EQ(run.report.find("Rebuilt"), std::string::npos);
    EXPECT_EQ(le16_at(read_file(new_dat), 0), 1u);

    // All of one other length: that length. Of several: variable-length (bit 1 kept).
    struct Case {
        std::vector<Record> records;
        std::uint16_t organization;
        std::int32_t record_length;
    };
    std::vector<Record> same;
    for (int i = 0; i < 5; ++i) {
        same.push_back(make_record(0, text("same" + std::to_string(i))));
    }
    for (const Case& c : {Case{same, 3, 5}, Case{varied(), 2, 40}}) {
        write_file(old_dat, file_of(c.records, 3, 40));
        run = salvage({old_dat, new_dat});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.active, active_of(c.records).size());
        EXPECT_NE(run.report.find(header_report(3, 40, 2, 4096,
                                                static_cast<std::int32_t>(fs::file_size(old_dat))) +
                                  rebuilt_as(c.organization, c.record_length) + "\n*** 16 Bytes"),
                  std::string::npos);
        const Bytes fresh = read_file(new_dat);
        EXPECT_EQ(le16_at(fresh, 0), c.organization);
        EXPECT_EQ(le32_at(fresh, 4), static_cast<std::uint32_t>(c.record_length));
    }
}

// No records vouch for these: refused with the words and status they always had, and no output
// created or changed.
TEST_F(Header, WhatIsNotADataFileIsRefusedAndTouchesNoOutput) {
    std::mt19937 rng(9);
    Bytes random(4096);
    for (auto& b : random) {
        b = static_cast<std::uint8_t>(rng());
    }
    random[2] = 0x44;  // not version 2
    Bytes prose = text(std::string(2000, ' '));
    const std::string words = "It was the best of times, it was the worst of times. ";
    for (std::size_t i = 0; i < prose.size(); ++i) {
        prose[i] = static_cast<std::uint8_t>(words[i % words.size()]);
    }
    Bytes single = DatFile(0, 0, 9).active(text("only one")).finish();
    struct Case {
        std::string what;
        Bytes file;
        bool sector_0_unreadable;
        int status;
    };
    write_file(new_dat, text("keep"));
    for (const Case& c :
         {Case{"text", prose, false, 9}, Case{"random", random, false, 9},
          Case{"zeros", Bytes(5000, 0), false, 9}, Case{"a single record", single, false, 9},
          Case{"a single record, sector 0 unreadable", single, true, 4}}) {
        SCOPED_TRACE(c.what);
        write_file(old_dat, c.file);
        FaultyDisk disk;
        if (c.sector_0_unreadable) {
            disk.bad_sectors = {0};
        }
        const InProcessRun run = salvage({old_dat, new_dat, del_dat}, disk.reader());
        EXPECT_EQ(run.status, c.status);
        const auto organization = static_cast<std::uint16_t>(le16_at(c.file, 0));
        const std::string why =
            c.status == 4
                ? "its file header cannot be read"
                : "its file manager version is " +
                      std::to_string(static_cast<std::int16_t>(le16_at(c.file, 2))) + ", not 2";
        const std::string expected =
            c.status == 4
                ? "Bad File Header 0\n"
                : banner(old_dat, new_dat, del_dat) +
                      header_report(organization, static_cast<std::int32_t>(le32_at(c.file, 4)),
                                    static_cast<std::int16_t>(le16_at(c.file, 2)),
                                    static_cast<std::int32_t>(le32_at(c.file, 8)),
                                    static_cast<std::int32_t>(le32_at(c.file, 12))) +
                      (organization > 3 ? "ERROR!!  Wrong File Organization!\n"
                                        : "ERROR!!  Wrong File Manager Version!\n");
        // The report, then standard error.
        EXPECT_EQ(run.report, expected + "datmend: " + old_dat + ": not a data file: " + why +
                                  ", and fewer than 2 records vouch for it\n");
        EXPECT_EQ(read_file(new_dat), text("keep"));
        EXPECT_FALSE(fs::exists(del_dat));
        EXPECT_EQ(temporaries_in(dir.path().string()), std::vector<std::string>{});
    }
}

}  // namespace
