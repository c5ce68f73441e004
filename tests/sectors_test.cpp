// Unreadable sectors, in-process through the damaged file's read seam: only the records a bad
// sector touches are lost, every unreadable byte is dumped as "??", and no sector is read twice.
#include <gtest/gtest.h>

#include "faulty_disk.hpp"
#include "invariants.hpp"
#include "support.hpp"

using namespace testkit;

namespace {

class Sectors : public FilesTest {
  protected:
    // Records of 40 to 160 bytes of text, so that nothing in them looks like a record.
    static std::vector<Record> records(std::size_t count) {
        std::vector<Record> rs;
        for (std::size_t i = 0; i < count; ++i) {
            std::string s = "row " + std::to_string(i) + " ";
            s.resize(40 + (i * 37) % 121, static_cast<char>('a' + i % 26));
            rs.push_back(make_record(0, text(s)));
        }
        return rs;
    }

    // Flags for the bytes of the bad sectors and of a shrunk file's lost end, cut at eof.
    static std::vector<bool> unreadable(const FaultyDisk& disk, std::size_t eof) {
        std::vector<bool> flags(eof, false);
        for (std::size_t b = 0; b < eof; ++b) {
            flags[b] = disk.bad_sectors.count(static_cast<std::uint32_t>(b / 512)) != 0 ||
                       (disk.size && b >= *disk.size);
        }
        return flags;
    }

    // Salvages laid through disk and checks report, new file and the reads against the model.
    void expect_salvage(const LaidOut& laid, FaultyDisk& disk) {
        write_file(old_dat, laid.file);
        const InProcessRun run = salvage({old_dat, new_dat}, disk.reader());
        const Expected e = expect_unreadable(laid, unreadable(disk, laid.file.size()));
        const auto eof = static_cast<std::int32_t>(laid.file.size());
        EXPECT_EQ(run.report, banner(old_dat, new_dat) + header_report(0, 0, 2, 0, eof) + e.body);
        EXPECT_EQ(run.status, e.errors);
        EXPECT_EQ(read_file(new_dat), e.new_file);
        EXPECT_TRUE(disk.never_read_a_bad_sector_again());
    }
};

TEST_F(Sectors, ABadSectorAnywhereCostsOnlyTheRecordsItTouches) {
    // Every sector of the file in turn: it starts in a record header, data or trailer, or it
    // is the last, partial sector.
    const LaidOut laid = lay_out(records(60));
    ASSERT_NE(laid.file.size() % 512, 0u);
    for (std::uint32_t sector = 1; sector * 512 < laid.file.size(); ++sector) {
        SCOPED_TRACE(sector);
        FaultyDisk disk;
        disk.bad_sectors = {sector};
        expect_salvage(laid, disk);
    }
}

TEST_F(Sectors, TheScanCrossesABadSectorAndWindowsRefillAroundOne) {
    std::vector<Record> rs = records(60);
    rs[20].trailer = 7;  // torn, just before the bad sector: the scan must cross it
    LaidOut laid = lay_out(rs);
    FaultyDisk disk;
    disk.bad_sectors = {(laid.at[21] + 30) / 512, (laid.at[40] + 100) / 512};
    expect_salvage(laid, disk);

    // A torn record before a record longer than a sector whose data holds a bad sector: the
    // scan must not land there, so that the damage is one stretch, not two.
    rs = records(60);
    rs[20].trailer = 7;
    rs[21].data.assign(1500, 'L');
    laid = lay_out(rs);
    FaultyDisk inside;
    inside.bad_sectors = {(laid.at[21] + 12 + 511) / 512};
    ASSERT_LE((laid.at[21] + 12 + 511) / 512 * 512 + 512, laid.at[21] + 12 + 1500);
    expect_salvage(laid, inside);

    // A repair never reaches over an unreadable byte: with -r, a record whose length alone is
    // wrong over a bad sector is lost as without it.
    rs[20].trailer.reset();
    rs[21].length = 1500 ^ 8;
    laid = lay_out(rs);
    write_file(old_dat, laid.file);
    inside.forget();
    const InProcessRun without = salvage({old_dat, new_dat}, inside.reader());
    const Bytes lost = read_file(new_dat);
    inside.forget();
    EXPECT_EQ(salvage({"-r", old_dat, new_dat}, inside.reader()).report, without.report);
    EXPECT_EQ(read_file(new_dat), lost);

    // The scan lands on records that end exactly where a bad sector starts and where the file
    // ends: their last bytes are readable.
    rs = records(60);
    rs[30].trailer = 7;
    rs[58].trailer = 7;
    laid = lay_out(rs);
    const std::uint32_t boundary = (laid.at[31] + 16 + 40 + 511) / 512 * 512;
    rs[31].data.resize(boundary - laid.at[31] - 16, 'e');
    laid = lay_out(rs);
    ASSERT_EQ(laid.at[32], boundary);
    FaultyDisk edges;
    edges.bad_sectors = {boundary / 512};
    expect_salvage(laid, edges);

    // A phantom inside a torn record reaches over two real records into a long one, where the
    // record-shaped bytes after it cross a bad sector: they confirm nothing, and the scan lands
    // on the first real record inside the phantom's extent.
    Record torn = make_record(0, Bytes(100, 'x'));  // at 512
    torn.trailer = 1;
    const Record r = make_record(0, text("real one"));  // at 628, then s at 652
    const Record s = make_record(0, text("real two"));
    Record t = make_record(0, Bytes(1500, 'y'));  // at 676, its data from 688 over sector 2
    const Record u = make_record(0, text("after"));
    const Bytes phantom_header{0, 0, 154, 1, 0, 0, 0, 0, 0, 0, 0, 0};  // 410 bytes, to 1000
    std::copy(phantom_header.begin(), phantom_header.end(), torn.data.begin() + 50);
    const Bytes after_phantom{154, 1, 0, 0, 0, 0, 88, 2, 0, 0, 0, 0, 0, 0, 0, 0};  // 600 bytes
    std::copy(after_phantom.begin(), after_phantom.end(), t.data.begin() + 996 - 688);
    const Bytes its_trailer{88, 2, 0, 0};
    std::copy(its_trailer.begin(), its_trailer.end(), t.data.begin() + 1612 - 688);
    write_file(old_dat, DatFile().add(torn).add(r).add(s).add(t).add(u).finish());
    FaultyDisk phantom;
    phantom.bad_sectors = {2};
    EXPECT_EQ(salvage({old_dat, new_dat}, phantom.reader()).status, 2);
    EXPECT_EQ(read_file(new_dat), renumbered({r, s, u}));

    // The record the scan lands on past a stretch longer than the window, whose sector reads
    // well once and then fails: the dump reads the window again, and the record, checked again
    // on the bytes now held, is damage like any other.
    torn = make_record(0, text("torn"));
    torn.trailer = 3;
    const Bytes file = DatFile()
                           .add(torn)
                           .raw(Bytes(400 << 10, 'n'))
                           .add(make_record(0, Bytes(2000, 'm')))
                           .add(u)
                           .finish();
    write_file(old_dat, file);
    const std::uint32_t m = 512 + 20 + (400 << 10);
    FaultyDisk once;
    once.marginal = {(m + 600) / 512};
    std::vector<bool> failed(file.size());
    std::fill_n(failed.begin() + (m + 600) / 512 * 512, 512, true);
    EXPECT_EQ(salvage({old_dat, new_dat}, once.reader()).report,
              banner(old_dat, new_dat) +
                  header_report(0, 0, 2, 0, static_cast<std::int32_t>(file.size())) +
                  "\n*** Currupt Data, Header does not match Trailer! ***\n    Offset = 512, "
                  "Header Len = 4, Trailer Len = 3\n" +
                  dump_text(file, 512, m - 1) + "\n*** Unreadable Record, Read Error! ***\n" +
                  "    Offset = " + std::to_string(m) + "\n" +
                  dump_text(file, m, m + 2015, failed) +
                  summary(1, 0, 0, 2, 512 + 21, static_cast<int>(file.size()) - 533, false, 512));
    EXPECT_EQ(read_file(new_dat), renumbered({u}));
    // Such a sector holds the end of a record copied from its first read and the start of a
    // damaged one: the summary counts what of it lies in the dump, as "??" there.
    Record b = make_record(0, Bytes(40, 'B'));
    b.trailer = 41;
    write_file(old_dat, DatFile()
                            .add(make_record(0, Bytes(2 * 512 + 258 - 528, 'A')))
                            .add(b)
                            .raw(Bytes(400 << 10, 0xFF))
                            .add(u)
                            .finish());
    FaultyDisk straddled;
    straddled.marginal = {2};
    const std::string report = salvage({old_dat, new_dat}, straddled.reader()).report;
    std::size_t marks = 0;
    for (auto at = report.find("?? "); at != std::string::npos; at = report.find("?? ", at + 1)) {
        ++marks;
    }
    EXPECT_NE(report.find("Unreadable Bytes Skipped = " + std::to_string(marks) + "\n"),
              std::string::npos);

    // More than one window: bad sectors on both sides of the first window's end, with records
    // straddling it.
    std::vector<Record> many;
    while (many.size() * 100 < (3u << 20)) {
        many.push_back(records(200)[many.size() % 200]);
    }
    laid = lay_out(many);
    FaultyDisk windows;
    windows.bad_sectors = {2046, 2048, 4000, 4001};
    expect_salvage(laid, windows);
}

TEST_F(Sectors, AFileThatShrinksLosesItsEndWithoutARead) {
    const LaidOut laid = lay_out(records(40));
    FaultyDisk disk;
    disk.size = laid.at[25] + 50;  // inside a record's data
    expect_salvage(laid, disk);
    EXPECT_LT(disk.reads, 5);

    // Shrunk into the header tail: the tail is written as zeros.
    FaultyDisk tail;
    tail.size = 100;
    write_file(old_dat, laid.file);
    const InProcessRun run = salvage({old_dat, new_dat}, tail.reader());
    const auto eof = static_cast<int>(laid.file.size());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.report.find("    Unreadable Bytes Skipped = " + std::to_string(eof - 100) + "\n"),
              std::string::npos);
    const Bytes fresh = read_file(new_dat);
    ASSERT_EQ(fresh.size(), 512u);
    EXPECT_TRUE(std::equal(laid.file.begin() + 16, laid.file.begin() + 100, fresh.begin() + 16));
    EXPECT_EQ(std::count(fresh.begin() + 100, fresh.end(), 0), 412);
    EXPECT_LT(tail.reads, 5);
}

}  // namespace
