// A rescued copy salvaged with its mapfile: what the rescue could not read is unreadable, the map
// is refused before anything is touched when it is not one of the file's, and a copy with its map
// salvages as the original does on the failing disk it was rescued from.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "faulty_disk.hpp"
#include "invariants.hpp"
#include "support.hpp"

using namespace testkit;

namespace {

class Map : public FilesTest {
  protected:
    std::string map = dir.file("old.map");

    // Records of text, one of them longer than three sectors, so that a lost sector can lie
    // inside its data with its framing intact.
    static LaidOut laid_out() {
        std::vector<Record> rs;
        for (std::size_t i = 0; i < 40; ++i) {
            std::string s = "row " + std::to_string(i) + " ";
            s.resize(i == 20 ? 2000 : 40 + (i * 37) % 121, static_cast<char>('a' + i % 26));
            rs.push_back(make_record(0, text(s)));
        }
        return lay_out(rs);
    }

    // The flags of every byte of the sectors that [first, end) touches, up to eof.
    static void flag_sectors(std::vector<bool>& flags, std::uint32_t first, std::uint32_t end) {
        for (std::uint32_t b = first / 512 * 512; b < end && b < flags.size(); ++b) {
            flags[b] = true;
        }
        for (std::uint32_t b = end; b % 512 != 0 && b < flags.size(); ++b) {
            flags[b] = true;
        }
    }
};

// Every status but "+" loses the sectors its block touches, whatever base its numbers are in;
// comments and blank lines are skipped. One lost sector lies inside a long record's data.
TEST_F(Map, EveryBlockNotRescuedMakesTheSectorsItTouchesUnreadable) {
    const LaidOut laid = laid_out();
    const auto eof = static_cast<std::uint32_t>(laid.file.size());
    const std::uint32_t inside = (laid.at[20] + 12 + 511) / 512 * 512 + 100;  // within its data
    ASSERT_LT(inside + 300, laid.at[21] - 4);
    struct Block {
        std::uint32_t pos;
        std::uint32_t size;
        char status;
    };
    const std::vector<Block> lost{{1000, 10, '?'},
                                  {inside, 300, '-'},
                                  {laid.at[25] + 3, 600, '*'},
                                  {laid.at[33] + 5, 1, '/'}};
    ASSERT_LT(laid.at[25] + 603, laid.at[33] + 5);
    // Numbers in decimal, hexadecimal and octal in turn; rescued blocks between the lost ones.
    int k = 0;
    auto number = [&k](std::uint32_t v) {
        char buf[32];
        std::snprintf(buf, sizeof buf, ++k % 3 == 0 ? "%u" : k % 3 == 1 ? "0x%X" : "0%o", v);
        return std::string(buf);
    };
    std::string text_of_map =
        "# Mapfile. Created by GNU ddrescue version 1.27\n"
        "\n"
        "# current_pos  current_status  current_pass\n"
        "0x00000000     ?               1\n"
        "#      pos        size  status\n";
    std::uint32_t at = 0;
    for (const Block& b : lost) {
        text_of_map += number(at) + " " + number(b.pos - at) + " +\n   \t\n";
        text_of_map += number(b.pos) + "\t" + number(b.size) + "  " + b.status + "\n";
        at = b.pos + b.size;
    }
    text_of_map += number(at) + " " + number(eof - at) + " +\n";
    write_file(map, text(text_of_map));
    write_file(old_dat, laid.file);
    std::vector<bool> flags(eof, false);
    for (const Block& b : lost) {
        flag_sectors(flags, b.pos, b.pos + b.size);
    }
    const Expected e = expect_unreadable(laid, flags);
    for (const auto& option : std::vector<std::vector<std::string>>{
             {"-m", map}, {"--mapfile", map}, {"--mapfile=" + map}, {"-m", map, "--"}}) {
        SCOPED_TRACE(option[0]);
        std::vector<std::string> args = option;
        args.insert(args.end(), {old_dat, new_dat});
        const auto r = run_tool(args);
        EXPECT_EQ(r.status, e.errors);
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(r.out == banner(old_dat, new_dat) +
                                 header_report(0, 0, 2, 0, static_cast<std::int32_t>(eof)) +
                                 e.body);
        EXPECT_EQ(read_file(new_dat), e.new_file);
    }
    // The long record is dumped whole, its lost sector as "??".
    const auto r = run_tool({"-m", map, old_dat, new_dat});
    EXPECT_NE(r.out.find("\n*** Unreadable Record, Read Error! ***\n    Offset = " +
                         std::to_string(laid.at[20]) + "\n"),
              std::string::npos);
}

// A map that is not one of this file's is refused before any output is created, with the map's
// name and what is wrong; a missing name is a wrong command line.
TEST_F(Map, AMapThatIsNotThisFilesIsRefusedBeforeAnythingIsTouched) {
    const Bytes old = DatFile().active(text("record")).finish();  // 534 bytes
    write_file(old_dat, old);
    write_file(new_dat, text("keep"));
    const std::string status = "0 +\n";
    const auto refused = [&](const std::string& reason) { return map + ": " + reason + "\n"; };
    const std::string word = "\x1b[2J" + std::string(40, 'w');
    struct Case {
        std::string map;
        std::string err;  // empty when the map is taken
    };
    for (const Case& c : {
             Case{status + "0 534 +\n", ""},
             Case{"0 + 1\n0 400 -\n400 0x86 +\n# and more\n",
                  "datmend: " + old_dat +
                      ": not a data file: its file header cannot be read, and fewer than 2 "
                      "records vouch for it\n"},
             Case{status + "#" + std::string(1023, 'x') + "\n0 534 +", ""},
             Case{status + "#" + std::string(1024, 'x') + "\n0 534 +\n",
                  refused("line 2: longer than 1024 bytes")},
             Case{"", refused("no status line")},
             Case{"# no lines but comments\n", refused("no status line")},
             Case{"\n0 534 +\n", refused("no status line")},
             Case{"0 x\n0 534 +\n", refused("line 1: unknown status 'x'")},
             Case{status + "0 534\n", refused("line 2: not a block")},
             Case{status + "0 534 + extra\n", refused("line 2: not a block")},
             Case{status + "0 534 F\n", refused("line 2: unknown status 'F'")},
             Case{status + "0 534 " + word + "\n",
                  refused("line 2: unknown status '\\x1b[2J" + word.substr(4, 28) + "...'")},
             Case{status + std::string("0 534 +\0-\n", 10),
                  refused("line 2: unknown status '+\\x00-'")},
             Case{status + "0 -534 +\n", refused("line 2: negative number")},
             Case{status + "0 99999999999999999999 -\n", refused("line 2: number too large")},
             Case{status + "0 0x1G +\n", refused("line 2: not a number")},
             Case{status + "0 09 +\n", refused("line 2: not a number")},
             Case{status + "0 0 +\n0 534 +\n", refused("line 2: empty block")},
             Case{status + "10 524 +\n", refused("line 2: block starts at 10, not at 0")},
             Case{status + "0 500 +\n400 134 -\n",
                  refused("line 3: block starts at 400, not at 500")},
             Case{status + "0 500 +\n501 33 -\n",
                  refused("line 3: block starts at 501, not at 500")},
             Case{status + "0 512 +\n", refused("covers 512 bytes, " + old_dat + " has 534")},
             Case{status + "0 512 +\n512 100 +\n",
                  refused("line 3: rescued block past the end of " + old_dat + " (534 bytes)")},
             Case{status + "0 512 +\n512 100 -\n612 1000 +\n",
                  refused("line 4: rescued block past the end of " + old_dat + " (534 bytes)")},
             Case{status + "0 512 +\n512 100 -\n612 0x7FFFFD9C ?\n",
                  old_dat + ": Value too large for defined data type\n"},
             Case{status + "0 512 +\n512 100 -\n612 1000 ?\n", ""},  // the copy stops short
         }) {
        SCOPED_TRACE(c.map);
        write_file(map, text(c.map));
        write_file(new_dat, text("keep"));
        const auto r = run_tool({"-m", map, old_dat, new_dat});
        EXPECT_EQ(r.err, c.err);
        if (c.err.empty() || c.err.starts_with("datmend: ")) {
            continue;  // the map is taken
        }
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(read_file(new_dat), text("keep"));
    }
    // Memory stays bounded whatever the map: a map with no end and no newline is refused.
    Stdio limited;
#if !defined(__SANITIZE_ADDRESS__)  // which cannot run under a limit on address space
    limited.command = {"sh", "-c", "ulimit -v 16000 && exec \"$0\" \"$@\"", DATMEND_BINARY};
#endif
    auto r = run_tool({"-m", "/dev/zero", old_dat, new_dat}, limited);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "/dev/zero: line 1: longer than 1024 bytes\n");
    // A FIFO that nobody writes is an empty map, not a run that waits for ever; a pipe that
    // brings the map in later is read as it comes.
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    r = run_tool({"-m", fifo, old_dat, new_dat});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, fifo + ": no status line\n");
    write_file(map, text(status + "0 534 +\n"));
    Stdio piped;
    piped.command = {"bash", "-c", "exec \"$0\" -m <(sleep 0.3; cat \"$1\") \"$2\" /dev/null",
                     DATMEND_BINARY};
    EXPECT_EQ(run_tool({map, old_dat}, piped).status, 0);
    write_file(new_dat, text("keep"));
    r = run_tool({"-m", dir.file("no.map"), old_dat, new_dat});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, dir.file("no.map") + ": No such file or directory\n");
    for (const auto& args : std::vector<std::vector<std::string>>{{"-m"},
                                                                  {"-m", old_dat, new_dat},
                                                                  {"--mapfile=", old_dat, new_dat},
                                                                  {"-m", map, old_dat},
                                                                  {"-m", map, "--", old_dat}}) {
        r = run_tool(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.substr(0, 9), "datmend: ");
    }
    EXPECT_EQ(read_file(new_dat), text("keep"));
    // After the options, "-m" is a file name like any other.
    Stdio in_dir;
    in_dir.cwd = dir.path().string();
    write_file(dir.file("-m"), old);
    r = run_tool({"--", "-m", "new.dat"}, in_dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(new_dat), renumbered({make_record(0, text("record"))}));
}

// The rescue's zeros and its map against the original on the disk it failed on: the same report,
// status and files; a read that fails on the copy too is taken as it always is. The last sectors
// could not be read either, so the copy stops short, and nothing past its end is read.
TEST_F(Map, ACopyWithItsMapSalvagesAsTheOriginalOnTheFailingDisk) {
    const LaidOut laid = laid_out();
    const auto eof = static_cast<std::uint32_t>(laid.file.size());
    ASSERT_NE(eof % 512, 0u);
    const std::set<std::uint32_t> lost{
        0, 7, (laid.at[20] + 600) / 512, eof / 512 - 3, eof / 512 - 1, eof / 512};
    const std::uint32_t failing_too = 3;  // fails on the copy's disk as well
    write_file(old_dat, laid.file);
    FaultyDisk original;
    original.bad_sectors = lost;
    original.bad_sectors.insert(failing_too);
    const InProcessRun expected = salvage({old_dat, new_dat, del_dat}, original.reader());
    const Bytes expected_new = read_file(new_dat);

    Bytes copy = laid.file;
    std::string blocks = "0x0 +\n";
    std::uint32_t at = 0;
    for (const std::uint32_t sector : lost) {
        const std::uint32_t n = std::min(512u, eof - sector * 512);
        std::fill_n(copy.begin() + sector * 512, n, 0);
        if (sector * 512 > at) {
            blocks += std::to_string(at) + " " + std::to_string(sector * 512 - at) + " +\n";
        }
        blocks += std::to_string(sector * 512) + " " + std::to_string(n) + " -\n";
        at = sector * 512 + n;
    }
    copy.resize(eof / 512 * 512 - 512);
    write_file(map, text(blocks));
    write_file(old_dat, copy);
    FaultyDisk copy_disk;
    copy_disk.bad_sectors = {failing_too};
    bool read_past_end = false;
    auto read = [&, disk = copy_disk.reader()](int fd, void* b, std::size_t n, off_t o) {
        read_past_end =
            read_past_end || o + static_cast<off_t>(n) > static_cast<off_t>(copy.size());
        return disk(fd, b, n, o);
    };
    const InProcessRun rescued = salvage({"-m", map, old_dat, new_dat, del_dat}, read);
    EXPECT_EQ(rescued.status, expected.status);
    EXPECT_EQ(rescued.report, expected.report);
    EXPECT_EQ(read_file(new_dat), expected_new);
    EXPECT_TRUE(copy_disk.never_read_a_bad_sector_again());
    EXPECT_FALSE(read_past_end);
    EXPECT_NE(expected.report.find("Unreadable File Header"), std::string::npos);
}

}  // namespace
