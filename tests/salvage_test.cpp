// Whole salvages through the binary: report, exit status, new file and deleted-records file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <new>
#include <regex>
#include <sstream>
#include <tuple>
#include <utility>

#include "faulty_disk.hpp"
#include "invariants.hpp"
#include "support.hpp"

using namespace testkit;

namespace {

// Set to have the next allocation fail, as memory that has run out would: from the first name
// change on, the commit must have taken everything it needs.
bool g_no_memory = false;

}  // namespace

// Every allocation of the tests, failing once where g_no_memory is set.
void* operator new(std::size_t n) {
    if (std::exchange(g_no_memory, false)) {
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(n != 0 ? n : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

class Salvage : public FilesTest {
  protected:
    RunResult salvage(const Bytes& file, bool with_deleted = false) {
        write_file(old_dat, file);
        return with_deleted ? run_tool({old_dat, new_dat, del_dat}) : run_tool({old_dat, new_dat});
    }
    // The report that follows the banner and a header report of organization 0 without warning.
    std::string body(const RunResult& r, bool with_deleted = false) const {
        const std::string head =
            banner(old_dat, new_dat, with_deleted ? del_dat : "") +
            header_report(0, 0, 2, 0, static_cast<std::int32_t>(fs::file_size(old_dat)));
        EXPECT_EQ(r.out.substr(0, head.size()), head);
        return r.out.substr(std::min(head.size(), r.out.size()));
    }
};

TEST_F(Salvage, CleanRunCopiesRenumbersAndPatches) {
    Record first = make_record(0, text("alpha"));
    first.byte1 = 5;
    first.word4 = 7;
    first.ordinal = 99;
    Record last = make_record(0, text("omega!"));
    last.ordinal = 345;
    const Bytes old = DatFile(0, 0, 2, 700)
                          .add(first)
                          .add(make_record(1, text("DEL")))
                          .add(make_record(2, text("over")))
                          .add(last)
                          .finish();
    write_file(old_dat, old);
    Stdio in_dir;
    in_dir.cwd = dir.path().string();
    const auto r = run_tool({"old.dat", "new.dat", "del.dat"}, in_dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "VARQ Datmend Utility:\n"
              "              Input Filename = old.dat\n"
              "             Output Filename = new.dat\n"
              "    Deleted Records Filename = del.dat\n"
              "\n"
              "File Header Information:\n"
              "           File Organization = 0 ( Variable Length Records )\n"
              "               Record Length = (var)\n"
              "              Tavrel Version = 2\n"
              "   Freelist Starting Address = 700\n"
              "         End of File Address = 594\n"
              "\n"
              "Datmend Completion Information:\n"
              "      Active Records Copied  = 2\n"
              "     Deleted Records Copied  = 1\n"
              "    Overhead Records Removed = 1\n"
              "           File Errors Found = 0\n"
              "       New Eof Seek Location = 555\n"
              "  Space Allocation Reduction = 39 bytes\n"
              "\n"
              "*** You MUST create a new '.key' file that matches your new '.dat' file!\n");
    DatFile expected(0, 0, 2, 0);
    Record a = make_record(0, text("alpha"));
    Record b = make_record(0, text("omega!"));
    b.ordinal = 1;
    EXPECT_EQ(read_file(new_dat), expected.add(a).add(b).finish());
    EXPECT_EQ(read_file(del_dat), text("DEL"));

    // More runs of active records in one read window than one write takes.
    DatFile apart;
    std::vector<Record> active;
    for (int i = 0; i < 3000; ++i) {
        active.push_back(make_record(0, Bytes(24, static_cast<std::uint8_t>('a' + i % 26))));
        apart.add(active.back()).deleted(Bytes(24, 'd'));
    }
    write_file(old_dat, apart.finish());
    EXPECT_EQ(run_tool({old_dat, new_dat}).status, 0);
    EXPECT_EQ(read_file(new_dat), renumbered(active));
}

TEST_F(Salvage, TrailerMismatchResynchronisesOnTheNextRecord) {
    Record torn = make_record(0, Bytes(10, 'B'));
    torn.trailer = 9;
    const Bytes old = DatFile().active(text("12345")).add(torn).active(text("seven!!")).finish();
    const auto r = salvage(old);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(body(r),
              "\n"
              "*** Currupt Data, Header does not match Trailer! ***\n"
              "    Offset = 533, Header Len = 10, Trailer Len = 9\n"
              "\n"
              "*** 26 Bytes starting at offset 533 not written to new file ***\n"
              "00000000: 00 00 0A 00 00 00 00 00 00 00 00 00 42 42 42 42 |~~~~~~~~~~~~BBBB|\n"
              "00000010: 42 42 42 42 42 42 09 00 00 00 .. .. .. .. .. .. |BBBBBB~~~~~~~~~~|\n" +
                  summary(2, 0, 0, 1, 556, 26, false));
    Record second = make_record(0, text("seven!!"));
    second.ordinal = 1;
    EXPECT_EQ(read_file(new_dat), DatFile().active(text("12345")).add(second).finish());
}

TEST_F(Salvage, DamageAtTheEndIsDumpedFromTheRecordsStart) {
    const DatFile good = DatFile().active(text("kept"));  // 532 bytes
    struct Case {
        Bytes tail;
        std::string message;
    };
    // A record of 10 bytes cut after n of its bytes: inside its data or its trailer, or just at
    // the end of its header or of its data.
    auto cut = [](std::size_t n) {
        Bytes b;
        append_record(b, make_record(0, text("0123456789")));
        b.resize(n);
        return b;
    };
    const std::string data = "\n*** Incomplete Data Record at end of file! ***";
    const std::string trailer = "\n*** Incomplete Record Trailer at end of file! ***";
    for (const Case& c : {Case{text("stray"), "\n*** Incomplete Record Header at end of file! ***"},
                          Case{cut(12), data}, Case{cut(12 + 6), data}, Case{cut(12 + 10), trailer},
                          Case{cut(12 + 10 + 2), trailer}}) {
        SCOPED_TRACE(c.message);
        DatFile f = good;
        const Bytes old = f.raw(c.tail).finish();
        const auto r = salvage(old);
        EXPECT_EQ(r.status, 1);
        const auto end = static_cast<std::uint32_t>(old.size());
        EXPECT_EQ(body(r), c.message + dump_text(old, 532, end - 1) +
                               summary(1, 0, 0, 1, 532, static_cast<int>(end) - 532, false));
    }
}

TEST_F(Salvage, DamagedLengthNearTheEndCostsOnlyItsRecord) {
    std::vector<Record> records;
    for (int i = 0; i < 20; ++i) {
        records.push_back(make_record(0, text("record number " + std::to_string(i))));
    }
    DatFile f;
    for (int i = 0; i < 10; ++i) {
        f.add(records[i]);
    }
    const auto at = static_cast<std::uint32_t>(f.size());
    DatFile rest;
    for (int i = 11; i < 20; ++i) {
        rest.add(records[i]);
    }
    const auto rest_size = static_cast<std::uint32_t>(rest.size() - 512);
    const std::uint32_t framed = 16 + 16;  // "record number 10"
    const auto eof = at + framed + rest_size;
    struct Case {
        std::uint32_t length;
        std::string message;
    };
    for (const Case& c :
         {Case{60000, "\n*** Incomplete Data Record at end of file! ***"},
          Case{eof - at - 14, "\n*** Incomplete Record Trailer at end of file! ***"}}) {
        SCOPED_TRACE(c.message);
        Record damaged = records[10];
        damaged.length = c.length;
        DatFile g = f;
        g.add(damaged);
        for (int i = 11; i < 20; ++i) {
            g.add(records[i]);
        }
        const Bytes old = g.finish();
        ASSERT_EQ(old.size(), eof);
        const auto r = salvage(old);
        EXPECT_EQ(r.status, 1);
        std::vector<Record> kept = records;
        kept.erase(kept.begin() + 10);
        const Bytes expected = renumbered(kept);
        EXPECT_EQ(body(r), c.message + dump_text(old, at, at + framed - 1) +
                               summary(19, 0, 0, 1, static_cast<int>(expected.size()),
                                       static_cast<int>(framed), false));
        EXPECT_EQ(read_file(new_dat), expected);
    }
}

// A torn record whose data holds a record-shaped phantom: the phantom's "trailer" lies in the
// header of the next, genuine record, and what would follow the phantom is that record's data.
TEST_F(Salvage, APhantomThatNothingConfirmsIsPassedOverForTheGenuineRecord) {
    Bytes phantom_head{0, 0, 36, 0, 0, 0, 0, 0, 0, 0, 0, 0};  // 36 bytes of data: to the next
    Bytes torn_data = text("xxxx");                           // record's ordinal field
    torn_data.insert(torn_data.end(), phantom_head.begin(), phantom_head.end());
    torn_data.resize(40, 'y');
    Record torn = make_record(0, torn_data);
    torn.trailer = 0x77777777;
    Record genuine = make_record(0, text("genuine, right after the torn one"));
    genuine.ordinal = 36;
    const Record last = make_record(0, text("the last record"));

    // The genuine record is confirmed by the record after it, or by ending the file.
    for (bool ends_the_file : {false, true}) {
        SCOPED_TRACE(ends_the_file);
        DatFile f;
        f.active(text("first"));
        const auto at = static_cast<std::uint32_t>(f.size());
        f.add(torn).add(genuine);
        if (!ends_the_file) {
            f.add(last);
        }
        const Bytes old = f.finish();
        const auto r = salvage(old);
        EXPECT_EQ(r.status, 1);
        std::vector<Record> kept{make_record(0, text("first")), genuine};
        if (!ends_the_file) {
            kept.push_back(last);
        }
        const Bytes expected = renumbered(kept);
        EXPECT_EQ(body(r),
                  "\n*** Currupt Data, Header does not match Trailer! ***\n"
                  "    Offset = " +
                      std::to_string(at) + ", Header Len = 40, Trailer Len = 2004318071\n" +
                      dump_text(old, at, at + 55) +
                      summary(static_cast<int>(kept.size()), 0, 0, 1,
                              static_cast<int>(expected.size()), 56, false));
        EXPECT_EQ(read_file(new_dat), expected);
    }
}

// With -r, a record whose trailer alone disagrees (its length and the chain of records after it
// agree) or whose length alone disagrees (the scan's landing, a chain, just past a trailer that
// gives the distance) is taken, told as repaired with its header and trailer as read; any other
// damage, and a witness that reads 0, is as without -r.
TEST_F(Salvage, RepairTakesARecordWhoseLengthOrTrailerAloneIsWrong) {
    struct Case {
        std::uint16_t organization;
        std::uint8_t type;
        std::optional<std::uint32_t> trailer;
        std::optional<std::uint32_t> length;
        bool next_torn;  // the record after it is damaged too: no chain
        const char* repaired;
    };
    const char* const kTrailer = "trailer did not match its length";
    const char* const kLength = "length did not match its trailer";
    for (const Case& c :
         {Case{0, 0, 9 ^ 64, {}, false, kTrailer}, Case{0, 1, {}, 9 ^ 4, false, kLength},
          Case{1, 0, {}, 9 + 256, false, kLength}, Case{1, 1, 9 | 1u << 20, {}, false, kTrailer},
          Case{0, 0, 9 ^ 64, {}, true, nullptr}, Case{0, 0, 9 ^ 2, 9 ^ 4, false, nullptr},
          Case{0, 0, 0, {}, false, nullptr}, Case{0, 0, {}, 0, false, nullptr}}) {
        SCOPED_TRACE(std::to_string(c.organization) + " " + std::to_string(c.type) + " " +
                     std::to_string(c.trailer.value_or(99)) + " " +
                     std::to_string(c.length.value_or(99)));
        Record x = make_record(c.type, text("9 bytes!!"));
        x.trailer = c.trailer;
        x.length = c.length;
        Record after = make_record(0, text("after it!"));
        after.trailer = c.next_torn ? std::optional<std::uint32_t>(8) : std::nullopt;
        std::vector<Record> kept{make_record(0, text("before it")), after,
                                 make_record(0, text("and more!")),
                                 make_record(0, text("the end!!"))};
        const Bytes old = DatFile(c.organization, 9)
                              .add(kept[0])
                              .add(x)
                              .add(kept[1])
                              .add(kept[2])
                              .add(kept[3])
                              .finish();
        write_file(old_dat, old);
        const auto plain = run_tool({old_dat, new_dat, del_dat});
        const Bytes plain_new = read_file(new_dat);
        const auto r = run_tool({"-r", old_dat, new_dat, del_dat});
        if (c.repaired == nullptr) {
            EXPECT_EQ(r.out, plain.out);
            EXPECT_EQ(r.status, plain.status);
            EXPECT_EQ(read_file(new_dat), plain_new);
            continue;
        }
        const std::string head =
            banner(old_dat, new_dat, del_dat) +
            header_report(c.organization, 9, 2, 0, static_cast<std::int32_t>(old.size()));
        const std::uint32_t at = 512 + 25;
        EXPECT_EQ(r.out,
                  head + "\n*** Record at offset 537 repaired: " + c.repaired + " ***\n" +
                      dump_row(old.data() + at, nullptr, 12, at) +
                      dump_row(old.data() + at + 21, nullptr, 4, at + 21) +
                      summary(c.type == 0 ? 5 : 4, c.type, 0, 1, 512 + (c.type == 0 ? 5 : 4) * 25,
                              c.type == 0 ? 0 : 25, true, 0, 1));
        EXPECT_EQ(r.status, 1);
        if (c.type == 0) {
            kept.insert(kept.begin() + 1, make_record(0, text("9 bytes!!")));
        }
        EXPECT_EQ(read_file(new_dat), renumbered(kept, c.organization, 9));
        EXPECT_EQ(read_file(del_dat), c.type == 1 ? text("9 bytes!!") : Bytes{});
    }
    // A length that reaches over a chain of records, past record-shaped bytes the scan lands on
    // first, is not what the record is taken with; a length wrong in the last record is mended
    // by the trailer before the end of the file.
    Bytes shaped = text("data: ");
    append_record(shaped, make_record(0, text("Q")));
    Record over = make_record(0, shaped);
    const std::vector<Record> chain{
        make_record(0, text("record B intact")), make_record(0, text("record C intact too")),
        make_record(0, text("record D")), make_record(0, text("record E"))};
    over.length = static_cast<std::uint32_t>(shaped.size() + 31 + 35);
    Record last = make_record(0, text("last record"));
    last.length = 12;
    DatFile f;
    f.add(over);
    for (const Record& r : chain) {
        f.add(r);
    }
    write_file(old_dat, f.add(last).finish());
    EXPECT_EQ(run_tool({"-r", old_dat, new_dat}).status, 2);
    std::vector<Record> taken{make_record(0, shaped)};
    taken.insert(taken.end(), chain.begin(), chain.end());
    taken.push_back(make_record(0, text("last record")));
    EXPECT_EQ(read_file(new_dat), renumbered(taken));

    // Witnesses from outside the record and of no other record: an overhead record of any type
    // starts a chain; an earlier damaged record's own trailer or end, or its two fields damaged
    // alike, tell where it ends, not where a record made of its data does; the end of the file
    // ends a last record whose trailer alone is wrong.
    const Record first = make_record(0, text("first")), genuine = make_record(0, text("genuine"));
    Record swallowing = make_record(0, text("before an overhead record"));
    swallowing.length = 25 + 25;  // to the record after the overhead record of type 7
    Bytes enclosed = text("head");
    append_record(enclosed, make_record(0, text("f1")));
    append_record(enclosed, make_record(0, text("f2")));
    append_record(enclosed, make_record(0, text("abc")));
    enclosed.resize(enclosed.size() - 4);  // "abc"'s trailer is the enclosing record's
    Record enclosing = make_record(0, enclosed);
    enclosing.length = 60000;
    Bytes both = text("junk");
    append_record(both, make_record(0, text("ff")));
    both.insert(both.end(), {0, 0, 200, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    both.resize(64, 'z');
    Record twice = make_record(0, both);  // "ff" at 16, a header at 34 = the end of the file - 46
    twice.length = twice.trailer = 30;
    Record torn_last = make_record(0, text("torn last"));
    torn_last.trailer = 9 ^ 64;
    struct Witnessed {
        Bytes file;
        std::vector<Record> kept;  // empty: the run with -r is the run without it
    };
    for (const Witnessed& c :
         {Witnessed{DatFile()
                        .add(first)
                        .add(swallowing)
                        .add(make_record(7, text("overhead!")))
                        .add(genuine)
                        .add(first)
                        .finish(),
                    {first, make_record(0, text("before an overhead record")), genuine, first}},
          Witnessed{DatFile().add(first).add(enclosing).add(genuine).add(first).finish(),
                    {first, make_record(0, enclosed), genuine, first}},
          Witnessed{DatFile().add(first).add(twice).finish(), {}},
          Witnessed{DatFile().add(first).add(torn_last).finish(),
                    {first, make_record(0, text("torn last"))}}}) {
        SCOPED_TRACE(c.file.size());
        write_file(old_dat, c.file);
        const auto plain = run_tool({old_dat, new_dat});
        const Bytes plain_new = read_file(new_dat);
        const auto r = run_tool({"-r", old_dat, new_dat});
        if (c.kept.empty()) {
            EXPECT_EQ(r.out, plain.out);
            EXPECT_EQ(read_file(new_dat), plain_new);
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(read_file(new_dat), renumbered(c.kept));
        }
    }
}

TEST_F(Salvage, EmptyRecordIsDamageAndTheWalkGoesOn) {
    const Bytes old =
        DatFile().active(text("12345")).add(make_record(0, {})).active(text("seven!!")).finish();
    ASSERT_EQ(old.size(), 572u);
    const auto r = salvage(old);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(body(r), "\n*** Bad Read on Data Block! ***    Offset = 545, Len = 27\n" +
                           dump_text(old, 533, 548) + summary(2, 0, 0, 1, 556, 16, false));
}

// A squeezed dump stands for the plain one: each "*" for the rows that repeat the row before it,
// up to the next row's label, which the stretch's last row always has; a quiet one has no rows.
TEST_F(Salvage, SqueezedAndQuietDumpsAreThePlainOneShortened) {
    Bytes pattern = text("0123456789ABCDEF0123456789ABCDEF");
    pattern.resize(200, 'x');
    const Bytes old = DatFile()
                          .active(text("before"))
                          .raw(Bytes(200 << 10, 0))
                          .active(text("between"))
                          .raw(pattern)
                          .finish();
    write_file(old_dat, old);
    FaultyDisk disk;
    disk.bad_sectors = {100, 101};  // in the zeros: rows of "??" among them
    const std::string plain = testkit::salvage({old_dat, new_dat}, disk.reader()).report;
    disk.forget();
    const std::string squeezed = testkit::salvage({"-s", old_dat, new_dat}, disk.reader()).report;
    disk.forget();
    const std::string quiet = testkit::salvage({"-q", old_dat, new_dat}, disk.reader()).report;
    std::istringstream in(squeezed);
    std::string expanded;
    std::string before;
    bool star = false;
    const std::regex row("[0-9A-F]{8}: .*");
    for (std::string line; std::getline(in, line);) {
        if (line == "*") {
            star = true;
            continue;
        }
        for (auto at = std::stoul(before.empty() ? "0" : before.substr(0, 8), nullptr, 16) + 16;
             star && at < std::stoul(line.substr(0, 8), nullptr, 16); at += 16) {
            char label[9];
            std::snprintf(label, sizeof label, "%08lX", at);
            expanded += label + before.substr(8) + "\n";
        }
        star = false;
        before = std::regex_match(line, row) ? line : "";
        expanded += line + "\n";
    }
    EXPECT_EQ(expanded, plain);
    EXPECT_LT(std::count(squeezed.begin(), squeezed.end(), '\n'), 50);
    std::istringstream lines(plain);
    std::string rowless;
    for (std::string line; std::getline(lines, line);) {
        rowless += std::regex_match(line, row) ? "" : line + "\n";
    }
    EXPECT_EQ(quiet, rowless);
}

TEST_F(Salvage, ZeroedStretchInTheMiddleLosesOnlyItself) {
    const Bytes old =
        DatFile().active(text("before")).raw(Bytes(100, 0)).active(text("after")).finish();
    const auto r = salvage(old);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(dump_text(old, 534, 633)), std::string::npos);
    EXPECT_NE(r.out.find(summary(2, 0, 0, 1, 512 + 22 + 21, 100, false)), std::string::npos);
}

TEST_F(Salvage, FixedLengthRulesApplyToActiveAndDeletedOnly) {
    Record wrong_deleted = make_record(1, text("toolong!!"));
    const Bytes old = DatFile(1, 4)
                          .add(make_record(0, text("abcd")))
                          .add(make_record(2, text("overhead of any size")))
                          .add(make_record(7, text("type 7")))
                          .add(wrong_deleted)
                          .add(make_record(1, text("gone")))
                          .add(make_record(0, text("efgh")))
                          .finish();
    write_file(old_dat, old);
    const auto r = run_tool({old_dat, new_dat, del_dat});
    EXPECT_EQ(r.status, 1);
    const std::uint32_t bad = 512 + 20 + 36 + 22;
    EXPECT_NE(
        r.out.find("\n*** Wrong Length in Record Header! ***\n    Offset = " + std::to_string(bad) +
                   ", Header Len = 9\n" + dump_text(old, bad, bad + 24)),
        std::string::npos);
    EXPECT_NE(r.out.find(summary(2, 1, 2, 1, 552, static_cast<int>(old.size()) - 552, true)),
              std::string::npos);
    EXPECT_EQ(read_file(del_dat), text("gone"));
}

TEST_F(Salvage, ErrorCountIsUncappedButTheStatusStopsAt255) {
    DatFile f;
    for (int i = 0; i < 300; ++i) {
        Record torn = make_record(0, text("xy"));
        torn.trailer = 0x09090909;  // no candidate starts inside it
        f.add(torn).active(text("ok"));
    }
    const auto r = salvage(f.finish());
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("           File Errors Found = 300\n"), std::string::npos);
    EXPECT_NE(r.out.find("      Active Records Copied  = 300\n"), std::string::npos);
}

TEST_F(Salvage, UnreadableFirstRecordLeavesTheHeaderBlockAlone) {
    Record huge = make_record(0, text("short"));
    huge.length = 60000;
    const Bytes old = DatFile().add(huge).finish();
    const auto r = salvage(old);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(body(r), "\n*** Incomplete Data Record at end of file! ***" +
                           dump_text(old, 512, static_cast<std::uint32_t>(old.size() - 1)) +
                           summary(0, 0, 0, 1, 512, static_cast<int>(old.size()) - 512, false));
    const Bytes fresh = read_file(new_dat);
    ASSERT_EQ(fresh.size(), 512u);
    EXPECT_EQ(le32_at(fresh, 12), 512u);
}

TEST_F(Salvage, AFullDiskIsAFailureNotASummary) {
    Record torn = make_record(0, text("torn"));
    torn.trailer = 3;
    const Bytes old = DatFile().active(text("data")).add(torn).deleted(text("old")).finish();
    write_file(old_dat, old);
    auto r = run_tool({old_dat, "/dev/full"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "/dev/full: No space left on device\n");
    EXPECT_EQ(r.out.find("Completion"), std::string::npos);
    // Found with the header block, before the walk: nothing of the file is dumped.
    EXPECT_EQ(r.out.find("not written to new file"), std::string::npos);

    r = run_tool({old_dat, new_dat, "/dev/full"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "/dev/full: No space left on device\n");
    EXPECT_EQ(r.out.find("Completion"), std::string::npos);

    write_file(old_dat, DatFile().active(text("data")).finish());
    r = run_tool({old_dat, new_dat, "/dev/full"});  // nothing to write there
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

// A disk that fills in the middle of a write takes part of it: the rest is not lost unseen, and
// the name written keeps what it held.
TEST_F(Salvage, ADiskThatFillsUnderEitherOutputMidRunLeavesBothNamesAsTheyWere) {
    const std::string small = dir.file("small");
    fs::create_directory(small);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0) {
        return require_or_skip("cannot mount a small tmpfs: mount needs root");
    }
    DatFile f;  // 200 KB of records for each output, written straight from where they were read
    for (int i = 0; i < 200; ++i) {
        f.active(Bytes(1000, static_cast<std::uint8_t>('a' + i % 26)))
            .deleted(Bytes(1000, static_cast<std::uint8_t>('A' + i % 26)));
    }
    write_file(old_dat, f.finish());
    const std::string full_new = small + "/new.dat";
    const std::string full_del = small + "/del.dat";
    write_file(full_new, text("keep"));
    write_file(full_del, text("keep too"));
    struct Case {
        std::string new_name;
        std::string del_name;
        std::string full;
        int status;
    };
    for (const Case& c :
         {Case{full_new, del_dat, full_new, 2}, Case{new_dat, full_del, full_del, 3}}) {
        SCOPED_TRACE(c.full);
        const auto r = run_tool({old_dat, c.new_name, c.del_name});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.full + ": No space left on device\n");
        EXPECT_EQ(r.out.find("Completion"), std::string::npos);
        EXPECT_EQ(read_file(full_new), text("keep"));
        EXPECT_EQ(read_file(full_del), text("keep too"));
        EXPECT_FALSE(fs::exists(new_dat));
        EXPECT_FALSE(fs::exists(del_dat));
        EXPECT_EQ(temporaries_in(small), std::vector<std::string>{});
        EXPECT_EQ(temporaries_in(dir.path().string()), std::vector<std::string>{});
    }
    // A deleted-records file that may not be replaced: the new file's name, changed first, is
    // changed back.
    write_file(old_dat, DatFile().active(text("a")).deleted(text("b")).finish());
    ASSERT_EQ(std::system(("chattr +i " + full_del).c_str()), 0);
    auto r = run_tool({old_dat, full_new, full_del});
    EXPECT_EQ(std::system(("chattr -i " + full_del).c_str()), 0);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, full_del + ": Operation not permitted\n");
    EXPECT_EQ(read_file(full_new), text("keep"));
    EXPECT_EQ(temporaries_in(small), std::vector<std::string>{});
    // A folder where nothing may be created has its file written in place, but not emptied
    // before every output is open.
    ASSERT_EQ(std::system(("chattr +i " + small).c_str()), 0);
    r = run_tool({old_dat, full_new, small + "/none/del.dat"});
    EXPECT_EQ(std::system(("chattr -i " + small).c_str()), 0);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(read_file(full_new), text("keep"));
    umount2(small.c_str(), MNT_DETACH);
    // No room for a temporary file is no reason to write over the name.
    ASSERT_EQ(mount("tmpfs", small.c_str(), "tmpfs", 0, "nr_inodes=2"), 0);
    write_file(full_new, text("keep"));
    r = run_tool({old_dat, full_new});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, full_new + ": No space left on device\n");
    EXPECT_EQ(read_file(full_new), text("keep"));
    umount2(small.c_str(), MNT_DETACH);
}

// Off while a test's own seam takes memory.
struct MemoryLeft {
    bool was = std::exchange(g_no_memory, false);
    ~MemoryLeft() { g_no_memory = was; }
};

// The output side's system calls, counted in a trace of "<call> <file>"; the call numbered
// fail_at fails with EIO, and with undo_fails so does every rename after it. Without exchange,
// renaming with RENAME_EXCHANGE or RENAME_NOREPLACE is refused (EINVAL), as some filesystems
// refuse it; without links, so is a hard link (EPERM); without attributes, listing them is not
// supported (ENOTSUP). Memory runs out from the first name change on.
struct CountedCalls {
    int fail_at = 0;
    bool exchange = true;
    bool links = true;
    bool attributes = true;
    bool undo_fails = false;
    std::vector<std::string> trace;
    datmend::SystemCalls calls;

    static std::string path_of(int fd) {
        char path[PATH_MAX] = {};
        return readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path) > 0
                   ? path
                   : "";
    }
    bool fails(const std::string& call, const std::string& file) {
        trace.push_back(call + " " + file);
        errno = EIO;
        const int n = static_cast<int>(trace.size());
        return n == fail_at || (undo_fails && n > fail_at && call == "renameat2");
    }
    explicit CountedCalls(int fail_at_call, bool can_exchange = true, bool can_link = true)
        : fail_at(fail_at_call), exchange(can_exchange), links(can_link) {
        const datmend::SystemCalls& real = datmend::real_system_calls();
        auto by_fd = [this](const char* call, auto real_call) {
            return [this, call, real_call](int fd, auto... args) {
                const MemoryLeft left;
                return fails(call, path_of(fd)) ? -1 : real_call(fd, args...);
            };
        };
        calls.write = by_fd("write", real.write);
        calls.writev = by_fd("writev", real.writev);
        calls.pwrite = by_fd("pwrite", real.pwrite);
        calls.fsync = by_fd("fsync", real.fsync);
        calls.fchown = by_fd("fchown", real.fchown);
        calls.fchmod = by_fd("fchmod", real.fchmod);
        calls.fsetxattr = by_fd("fsetxattr", real.fsetxattr);
        calls.flistxattr = by_fd("flistxattr", [this, real](int fd, char* names, std::size_t n) {
            errno = ENOTSUP;
            return attributes ? real.flistxattr(fd, names, n) : -1;
        });
        calls.fgetxattr = by_fd("fgetxattr", real.fgetxattr);
        calls.close = by_fd("close", real.close);
        calls.openat = [this, real](int dir, const char* name, int flags, mode_t mode) {
            const MemoryLeft left;
            return fails("openat", name) ? -1 : real.openat(dir, name, flags, mode);
        };
        calls.renameat2 = [this, real](int d1, const char* from, int d2, const char* to,
                                       unsigned flags) {
            int done = -1;
            {
                const MemoryLeft left;
                if (fails("renameat2", std::string(from) + " " + to)) {
                    return -1;
                }
                errno = EINVAL;
                done = !exchange && flags != 0 ? -1 : real.renameat2(d1, from, d2, to, flags);
            }
            g_no_memory = g_no_memory || done == 0;
            return done;
        };
        calls.linkat = [this, real](int d1, const char* from, int d2, const char* to, int flags) {
            const MemoryLeft left;
            if (fails("linkat", from)) {
                return -1;
            }
            errno = EPERM;
            return !links ? -1 : real.linkat(d1, from, d2, to, flags);
        };
    }
};

// Each system call of the outputs' writing and commit fails in turn, with the names taken or
// not, on filesystems that can exchange names, that can only link them, and that can do
// neither, and with every rename after it failing too: the run fails with the file's name and
// status, and every name is as it was, with no temporary left; or, for a hard link that could
// not be made, the run goes on without it; or, where the undo failed, each name not changed
// back is told, with the hidden file that keeps what it held. Nothing takes memory once the
// first name has changed.
TEST_F(Salvage, EachStepOfTheCommitThatFailsLeavesEveryNameAsItWas) {
    Record torn = make_record(0, text("torn"));
    torn.trailer = 3;
    write_file(old_dat, DatFile().active(text("kept")).add(torn).deleted(text("gone")).finish());
    const int no_report = open("/dev/null", O_WRONLY | O_CLOEXEC);
    auto run = [&](CountedCalls& calls, const std::string& deleted) {
        const auto r = testkit::salvage({old_dat, new_dat, deleted}, {}, no_report, &calls.calls);
        g_no_memory = false;
        return r;
    };
    // Each name as it was, or told as not changed back and what it held kept under the hidden
    // name told, which is the one temporary left.
    auto expect_kept_or_told = [&](const InProcessRun& r, bool taken) {
        EXPECT_TRUE(r.status == 2 || r.status == 3) << r.status;
        std::vector<std::string> kept;
        for (const auto& [name, held] :
             {std::pair{new_dat, text("keep")}, std::pair{del_dat, text("keep too")}}) {
            const std::string told = name + ": could not be changed back (Input/output error); ";
            const std::size_t at = r.report.find(told);
            if (at == std::string::npos) {
                EXPECT_EQ(fs::exists(name), taken) << name;
                EXPECT_TRUE(!taken || read_file(name) == held) << name;
                continue;
            }
            const std::size_t from = at + told.size();
            const std::string what = r.report.substr(from, r.report.find('\n', from) - from);
            const std::string prefix = "its old content is kept as ";
            if (!taken) {
                EXPECT_EQ(what, "it did not exist before");
                continue;
            }
            ASSERT_TRUE(what.starts_with(prefix)) << what;
            kept.push_back(what.substr(prefix.size()));
            EXPECT_EQ(read_file(dir.file(kept.back())), held);
        }
        std::vector<std::string> left = temporaries_in(dir.path().string());
        std::sort(left.begin(), left.end());
        std::sort(kept.begin(), kept.end());
        EXPECT_EQ(left, kept);
        for (const std::string& name : left) {
            fs::remove(dir.file(name));
        }
    };
    for (const bool taken : {true, false}) {
        for (const auto& [exchange, links, undo_fails] : {std::tuple{true, true, false},
                                                          {false, true, false},
                                                          {false, false, false},
                                                          {true, true, true},
                                                          {false, true, true},
                                                          {false, false, true}}) {
            SCOPED_TRACE(std::to_string(taken) + std::to_string(exchange) + std::to_string(links) +
                         std::to_string(undo_fails));
            auto prepare = [&] {
                fs::remove(new_dat);
                fs::remove(del_dat);
                if (taken) {
                    write_file(new_dat, text("keep"));
                    write_file(del_dat, text("keep too"));
                    ASSERT_EQ(setxattr(new_dat.c_str(), "user.note", "n", 1, 0), 0);
                }
            };
            prepare();
            CountedCalls clean(0, exchange, links);
            ASSERT_EQ(run(clean, del_dat).status, 1);
            const Bytes whole_new = read_file(new_dat);
            const Bytes whole_del = read_file(del_dat);
            // Each temporary file is synced before the first name changes, the folder after.
            const auto& t = clean.trace;
            const auto first_rename = std::find_if(t.begin(), t.end(), [](const std::string& c) {
                return c.starts_with("renameat2");
            });
            for (const std::string temporary : {"/.new.dat.datmend-", "/.del.dat.datmend-"}) {
                EXPECT_TRUE(std::any_of(t.begin(), first_rename, [&](const std::string& c) {
                    return c.starts_with("fsync") && c.find(temporary) != std::string::npos;
                })) << temporary;
            }
            EXPECT_EQ(t.back(), "fsync " + dir.path().string());
            for (int n = 1; n <= static_cast<int>(t.size()); ++n) {
                SCOPED_TRACE(t[static_cast<std::size_t>(n - 1)]);
                prepare();
                CountedCalls failing(n, exchange, links);
                failing.undo_fails = undo_fails;
                const auto r = run(failing, del_dat);
                if (undo_fails) {
                    expect_kept_or_told(r, taken);
                    continue;
                }
                EXPECT_EQ(temporaries_in(dir.path().string()), std::vector<std::string>{});
                if (t[static_cast<std::size_t>(n - 1)].starts_with("linkat")) {
                    EXPECT_EQ(r.status, 1);
                    EXPECT_EQ(read_file(new_dat), whole_new);
                    continue;
                }
                const bool deleted =
                    t[static_cast<std::size_t>(n - 1)].find("del.dat") != std::string::npos;
                EXPECT_EQ(r.status, deleted ? 3 : 2);
                EXPECT_EQ(r.report, (deleted ? del_dat : new_dat) + ": Input/output error\n");
                EXPECT_EQ(fs::exists(new_dat), taken);
                EXPECT_EQ(fs::exists(del_dat), taken);
                if (taken) {
                    EXPECT_EQ(read_file(new_dat), text("keep"));
                    EXPECT_EQ(read_file(del_dat), text("keep too"));
                }
            }
            EXPECT_NE(whole_del, Bytes{});
            // A filesystem without extended attributes has none to keep.
            prepare();
            CountedCalls no_attributes(0, exchange, links);
            no_attributes.attributes = false;
            EXPECT_EQ(run(no_attributes, del_dat).status, 1);
            EXPECT_EQ(read_file(new_dat), whole_new);
        }
    }
    // Two folders of one filesystem: each is synced.
    fs::create_directory(dir.file("sub"));
    CountedCalls two_folders(0);
    EXPECT_EQ(run(two_folders, dir.file("sub/del.dat")).status, 1);
    const auto& t = two_folders.trace;
    for (const std::string& folder : {dir.path().string(), dir.file("sub")}) {
        EXPECT_NE(std::find(t.begin(), t.end(), "fsync " + folder), t.end()) << folder;
    }
    close(no_report);
}

// A file whose report is far larger than a pipe and the tool's buffer: with nobody reading its
// standard output, the tool stops in the middle of its walk.
Bytes torn_all_over() {
    DatFile f;
    for (int i = 0; i < 3000; ++i) {
        Record torn = make_record(0, text("torn record " + std::to_string(i)));
        torn.trailer = 1;
        f.add(torn).active(text("kept " + std::to_string(i)));
    }
    return f.finish();
}

// Interrupted in the middle of the walk, the tool ends by the signal, with no temporary file left
// and the names as they were.
TEST_F(Salvage, ASignalMidWalkLeavesTheNamesAsTheyWere) {
    write_file(old_dat, torn_all_over());
    write_file(new_dat, text("keep"));
    for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1}) {
        SCOPED_TRACE(signal);
        BackgroundRun run({old_dat, new_dat, del_dat});
        ASSERT_TRUE(wait_for_temporary(dir.path().string()));
        run.signal(signal);
        EXPECT_EQ(run.finish(), 128 + signal);
        EXPECT_EQ(read_file(new_dat), text("keep"));
        EXPECT_FALSE(fs::exists(del_dat));
        EXPECT_EQ(temporaries_in(dir.path().string()), std::vector<std::string>{});
    }
    // The folder renamed mid-run: the temporary file is removed from where it is now.
    const std::string out = dir.file("out");
    fs::create_directory(out);
    BackgroundRun moved({old_dat, out + "/new.dat"});
    ASSERT_TRUE(wait_for_temporary(out));
    fs::rename(out, dir.file("moved"));
    moved.signal(SIGTERM);
    EXPECT_EQ(moved.finish(), 128 + SIGTERM);
    EXPECT_EQ(temporaries_in(dir.file("moved")), std::vector<std::string>{});
    // A hangup ignored when the tool started, as under nohup, stays ignored.
    const auto before = std::signal(SIGHUP, SIG_IGN);
    BackgroundRun nohup({old_dat, new_dat});
    std::signal(SIGHUP, before);
    ASSERT_TRUE(wait_for_temporary(dir.path().string()));
    nohup.signal(SIGHUP);
    EXPECT_EQ(nohup.finish(), run_tool({old_dat, dir.file("whole.dat")}).status);
    EXPECT_EQ(read_file(new_dat), read_file(dir.file("whole.dat")));
    // Written in place, in a folder where nothing may be created, once its header is there: the
    // signal empties it again, and no half-written file looks whole.
    const std::string refusing = dir.file("refusing");
    fs::create_directory(refusing);
    write_file(refusing + "/new.dat", text("keep"));
    if (std::system(("chattr +i " + refusing).c_str()) != 0) {
        return require_or_skip("chattr +i needs root");
    }
    BackgroundRun in_place({old_dat, refusing + "/new.dat"});
    for (int i = 0; i < 1000 && fs::file_size(refusing + "/new.dat") < 512; ++i) {
        usleep(10000);
    }
    in_place.signal(SIGINT);
    EXPECT_EQ(in_place.finish(), 128 + SIGINT);
    EXPECT_EQ(std::system(("chattr -i " + refusing).c_str()), 0);
    EXPECT_EQ(fs::file_size(refusing + "/new.dat"), 0u);
}

// The new file's name made a link to the damaged file while the tool runs: the damaged file is
// only ever read, and the link is replaced by the new file.
TEST_F(Salvage, ANameTakenDuringTheRunIsReplacedAndTheInputOnlyRead) {
    const Bytes old = torn_all_over();
    write_file(old_dat, old);
    const auto whole = run_tool({old_dat, dir.file("whole.dat")});
    BackgroundRun run({old_dat, new_dat});
    ASSERT_TRUE(wait_for_temporary(dir.path().string()));
    fs::create_symlink(old_dat, new_dat);
    EXPECT_EQ(run.finish(), whole.status);
    EXPECT_EQ(read_file(old_dat), old);
    EXPECT_FALSE(fs::is_symlink(new_dat));
    EXPECT_EQ(read_file(new_dat), read_file(dir.file("whole.dat")));
}

// Standard output full, a pipe closed by its reader, standard output closed: the salvage runs to
// its end all the same, and the lost report is a failure of its own.
TEST_F(Salvage, ALostReportIsAFailureButNeverStopsTheSalvage) {
    DatFile f;
    for (int i = 0; i < 2000; ++i) {  // a report far larger than a pipe holds
        Record torn = make_record(0, text("torn record " + std::to_string(i)));
        torn.trailer = 1;
        f.add(torn).active(text("kept " + std::to_string(i))).deleted(text("gone"));
    }
    write_file(old_dat, f.finish());
    const auto whole = run_tool({old_dat, new_dat, del_dat});
    ASSERT_EQ(whole.status, 255);
    const Bytes expected_new = read_file(new_dat);
    const Bytes expected_deleted = read_file(del_dat);

    int closed_pipe[2];
    ASSERT_EQ(pipe(closed_pipe), 0);
    close(closed_pipe[0]);
    Stdio full, broken, closed, limited;
    full.out = "/dev/full";
    broken.out_fd = closed_pipe[1];
    closed.closed_in = true;
    closed.closed_out = true;
    // A file-size limit of 100 KiB (200 blocks of 512 bytes for dash, of 1 KiB for bash), which
    // the report passes and the new files do not.
    limited.out = dir.file("report.txt");
    limited.command = {"sh", "-c", "ulimit -f 200 && exec \"$0\" \"$@\"", DATMEND_BINARY};
    struct Case {
        Stdio io;
        std::string err;
    };
    for (const Case& c : {Case{full, "standard output: No space left on device\n"},
                          Case{broken, "standard output: Broken pipe\n"},
                          Case{closed, "standard output: Bad file descriptor\n"},
                          Case{limited, "standard output: File too large\n"}}) {
        SCOPED_TRACE(c.err);
        fs::remove(new_dat);
        fs::remove(del_dat);
        const auto r = run_tool({old_dat, new_dat, del_dat}, c.io);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(read_file(new_dat), expected_new);
        EXPECT_EQ(read_file(del_dat), expected_deleted);
    }
    close(closed_pipe[1]);
}

}  // namespace
