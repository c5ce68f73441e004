// Start-up through the binary: help, opening and refusing files, the header report and checks,
// and the header block written to the new file.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <tuple>

#include "driver/command_line.hpp"
#include "support.hpp"

using namespace testkit;

namespace {

const char* const kHelp =
    "usage: datmend old_file new_file [ del-rec_file ]\n"
    "Version 2.1\n"
    "\n"
    "This utility will read an VARQ indexed data file (.dat) and copy \n"
    "the good/active records to the output file.  Any corrupt data    \n"
    "will be hex-dumped to the screen.                                \n"
    "\n"
    "Deleted Records will be discarded unless a third filename is     \n"
    "given on the command line.  In this case, the deleted records    \n"
    "will be copied to the given file.  This file is a fixed-length   \n"
    "consecutive file.  To access it from within VARQ, you must design\n"
    "transfer your data dictionary, remove the indices, and change the\n"
    "file type to consecutive.  This is needed since the deleted      \n"
    "records could contain duplicate key values.                      \n"
    "\n"
    "Overhead blocks are also removed.  These blocks are used to track\n"
    "deleted record space within the file for reuse.  Since the new   \n"
    "file has no deleted record space, it no longer needs these blocks.\n"
    "\n"
    "*** IMPORTANT ***\n"
    "Any file that you datmend, must have a new (.key) file built.  The \n"
    "(.key) file contains pointers to all of the data records in the  \n"
    "(.dat) file.  So, by datmending the file, you have invalidated the\n"
    " old (.key) file.\n";

class Startup : public FilesTest {
  protected:
    bool exists(const std::string& p) const { return fs::exists(p); }
    void expect_empty_file(const std::string& p) const {
        ASSERT_TRUE(exists(p)) << p;
        EXPECT_EQ(fs::file_size(p), 0u) << p;
    }
};

const std::string kOptions =
    "\nOptions, anywhere before --:\n"
    "  -m, --mapfile=FILE  old_file is a copy rescued by GNU ddrescue and FILE its\n"
    "                      map: what the rescue could not read counts as unreadable\n"
    "  -r, --repair        take a record whose only damage is its length or its\n"
    "                      trailer, repaired, where the records after it agree\n"
    "  -n, --dry-run       write no file, but the lost map: report what a salvage\n"
    "                      would do; only old_file need be named\n"
    "  -l, --lost-map=FILE write to FILE a GNU ddrescue map of old_file: + where\n"
    "                      the salvage kept the bytes, - where it dumped them\n"
    "  -s, --squeeze       in a dump, a row that repeats the row before as *\n"
    "  -q, --quiet         leave the dumps' rows out of the report\n"
    "  -h, --help          print this help and exit\n"
    "  -V, --version       print the version and the license and exit\n"
    "  --                  end the options: every word after it is a file name,\n"
    "                      even one that starts with -\n"
    "\nFull documentation: man datmend\n";

// Options stand anywhere before --, and a word that is not an option never becomes a file name:
// a typo touches nothing, even where a file is named after it, and says so on standard error.
TEST_F(Startup, CommandLinesAreReadAsGnuToolsRead) {
    const Bytes old = DatFile().active(text("a")).deleted(text("b")).finish();
    const Bytes planted = DatFile().active(text("leftover")).finish();
    const Bytes map = text("0 +\n0 546 +\n");
    write_file(old_dat, old);
    write_file(dir.file("-x"), planted);
    write_file(dir.file("copy.map"), map);
    const auto bad = [](const std::string& line) {
        return "datmend: " + line + "\nTry 'datmend --help' for more information.\n";
    };
    const auto count = [](int n) {
        return "datmend: 2 or 3 file names expected (old_file new_file [ del-rec_file ]), " +
               std::to_string(n) + " given; try 'datmend --help'\n";
    };
    const std::string report = banner("old.dat", "new.dat") + header_report(0, 0, 2, 0, 546) +
                               summary(1, 1, 0, 0, 529, 17, false);
    const Bytes from_old = renumbered({make_record(0, text("a"))});
    const Bytes from_planted = renumbered({make_record(0, text("leftover"))});
    struct Case {
        std::vector<std::string> args;
        std::string out, err = {};
        const Bytes* salvaged = nullptr;  // the new file the salvage writes; none: left alone
    };
    for (const Case& c : std::vector<Case>{
             {{"-x", "old.dat", "new.dat"}, "", bad("invalid option -- 'x'")},
             {{"old.dat", "new.dat", "--bogus"}, "", bad("unrecognized option '--bogus'")},
             {{"old.dat", "-"}, "", bad("'-' is no file name here; name a file called - as ./-")},
             {{"old.dat", "new.dat", "-m"}, "", bad("option requires an argument -- 'm'")},
             {{"--mapfile=", "old.dat", "new.dat"},
              "",
              bad("option '--mapfile' requires an argument")},
             {{}, kHelp, count(0)},
             {{"--", "--version"}, kHelp, count(1)},
             {{"old.dat", "new.dat", "del.dat", "more.dat"}, kHelp, count(4)},
             {{"old.dat", "new.dat", "-h", "--bogus"}, kHelp + kOptions, ""},
             {{"-V", "-x"},
              "datmend 2.1\nCopyright (c) 2026 The datmend project\nMIT License\n",
              ""},
             {{"old.dat", "new.dat", "-r"}, report, "", &from_old},
             {{"old.dat", "-r", "new.dat"}, report, "", &from_old},
             {{"-rm", "copy.map", "old.dat", "new.dat"}, report, "", &from_old},
             {{"old.dat", "--rep", "new.dat", "--mapfile", "copy.map"}, report, "", &from_old},
             {{"--", "-x", "new.dat"},
              banner("-x", "new.dat") + header_report(0, 0, 2, 0, 536) +
                  summary(1, 0, 0, 0, 536, 0, false),
              "",
              &from_planted}}) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        write_file(new_dat, text("keep"));
        Stdio in_dir;
        in_dir.cwd = dir.path().string();
        const auto r = run_tool(c.args, in_dir);
        EXPECT_EQ(r.status, c.err.empty() ? 0 : 1);
        EXPECT_EQ(r.out + r.err, c.out + c.err);
        EXPECT_EQ(read_file(new_dat), c.salvaged != nullptr ? *c.salvaged : text("keep"));
        EXPECT_EQ(read_file(old_dat), old);
        EXPECT_EQ(read_file(dir.file("-x")), planted);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 4);
    }
}

TEST_F(Startup, HelpAndVersionAreAnsweredWhateverFollowsThem) {
    auto r = run_tool({"--help", "--version", "x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, kHelp + kOptions);
    r = run_tool({"--version", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "datmend 2.1\nCopyright (c) 2026 The datmend project\nMIT License\n");
    Stdio full;
    full.out = "/dev/full";
    r = run_tool({"--version"}, full);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "standard output: No space left on device\n");
}

// The words offered for "-" are the tool's own table of options; a mapfile's name follows -m
// however it is spelt, and only file names follow --.
TEST_F(Startup, BashCompletesTheOptionsThenFileNames) {
    const std::string script =
        "cd \"$1\" && shift && touch map.log old.dat ./-x && source \"$0\" && complete -p datmend; "
        "compopt() { :; }; for w; do eval \"COMP_WORDS=(datmend $w)\"; "
        "let COMP_CWORD=${#COMP_WORDS[@]}-1; _datmend; echo \"${COMPREPLY[*]}\"; done";
    Stdio bash;
    bash.command = {"bash", "-c", script, DATMEND_COMPLETION, dir.path().string()};
    const auto r = run_tool({"-", "old.dat -", "-m -", "-rm -", "-mrm -", "-m o --h",
                             "--mapfile = o --h", "--mapfile=m", "-- -", "-- old.dat -r --r"},
                            bash);
    const std::string options = datmend::option_words() + "\n";
    EXPECT_EQ(r.out + r.err, "complete -F _datmend datmend\n" + options + options + "-x\n-x\n" +
                                 options + "--help\n--help\n--mapfile=map.log\n-x\n\n");
}

TEST_F(Startup, OpenFailuresNameTheFileAndLeaveTheOutputsAsTheyWere) {
    auto r = run_tool({old_dat, new_dat});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, old_dat + ": No such file or directory\n");
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(exists(new_dat));

    write_file(old_dat, DatFile().finish());
    const std::string nowhere = dir.file("no/such/dir");
    r = run_tool({old_dat, nowhere});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, nowhere + ": No such file or directory\n");

    for (const bool existing : {false, true}) {
        if (existing) {
            write_file(new_dat, text("keep"));
        }
        r = run_tool({old_dat, new_dat, nowhere});
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.err, nowhere + ": No such file or directory\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(exists(new_dat), existing);
        EXPECT_TRUE(!existing || read_file(new_dat) == text("keep"));
        EXPECT_EQ(temporaries_in(dir.path().string()), std::vector<std::string>{});
    }
}

// A file that is not a data file costs the user nothing: no output is created or changed.
TEST_F(Startup, ShortOrRefusedHeaderLeavesTheOutputsAlone) {
    write_file(del_dat, text("keep"));
    write_file(old_dat, Bytes(15, 0));
    auto r = run_tool({old_dat, new_dat, del_dat});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, "Bad File Header 0\n");
    EXPECT_EQ(r.err, "datmend: " + old_dat +
                         ": not a data file: its header block is shorter than 16 bytes\n");
    EXPECT_FALSE(exists(new_dat));
    EXPECT_EQ(read_file(del_dat), text("keep"));

    write_file(old_dat, DatFile(5).finish());
    r = run_tool({old_dat, new_dat, del_dat});
    EXPECT_EQ(r.status, 9);
    EXPECT_EQ(r.out, banner(old_dat, new_dat, del_dat) + header_report(5, 0, 2, 0, 512) +
                         "ERROR!!  Wrong File Organization!\n");
    EXPECT_EQ(r.err, "datmend: " + old_dat +
                         ": not a data file: its file organization is 5, not 0 to 3\n");
    EXPECT_FALSE(exists(new_dat));
    EXPECT_EQ(read_file(del_dat), text("keep"));
    EXPECT_EQ(temporaries_in(dir.path().string()), std::vector<std::string>{});
}

TEST_F(Startup, HeaderChecksRunInOrderAfterTheWholeReport) {
    // Both checks fail: only the organization is named.
    write_file(old_dat, DatFile(4, 0, 3).finish(1));
    auto r = run_tool({old_dat, new_dat});
    EXPECT_EQ(r.status, 9);
    EXPECT_EQ(r.out, banner(old_dat, new_dat) + header_report(4, 0, 3, 0, 1) +
                         "ERROR!!  Wrong File Organization!\n");

    write_file(old_dat, DatFile(1, 80, 0xFFFF, 77).finish());
    r = run_tool({old_dat, new_dat});
    EXPECT_EQ(r.status, 9);
    EXPECT_EQ(r.out, banner(old_dat, new_dat) +
                         "\nFile Header Information:\n"
                         "           File Organization = 1 ( Fixed Length Records )\n"
                         "               Record Length = 80\n"
                         "              Tavrel Version = -1\n"
                         "   Freelist Starting Address = 77\n"
                         "         End of File Address = 512\n"
                         "ERROR!!  Wrong File Manager Version!\n");
}

TEST_F(Startup, ReportsEveryOrganizationAndWarnsOnAWrongEofAddress) {
    struct Case {
        std::uint16_t organization;
        std::uint32_t record_length;
    };
    for (const Case c : {Case{0, 0}, Case{1, 80}, Case{2, 9}, Case{3, 0x80000000u}}) {
        SCOPED_TRACE(c.organization);
        write_file(old_dat, DatFile(c.organization, c.record_length).finish());
        auto r = run_tool({old_dat, new_dat});
        EXPECT_EQ(r.status, 0);
        const std::string head =
            banner(old_dat, new_dat) +
            header_report(c.organization, static_cast<std::int32_t>(c.record_length), 2, 0, 512);
        EXPECT_EQ(r.out.substr(0, head.size()), head);
        EXPECT_EQ(r.out.find("WARNING"), std::string::npos);
    }
    write_file(old_dat, DatFile(2).finish(511));
    auto r = run_tool({old_dat, new_dat, del_dat});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, banner(old_dat, new_dat, del_dat) + header_report(2, 0, 2, 0, 511) +
                         eof_warning(512) + summary(0, 0, 0, 0, 512, 0, true));
}

TEST_F(Startup, HeaderBlockIsCopiedWithFreelistClearedAndEofPatched) {
    const Bytes old = DatFile(0, 0, 2, 700).active(text("hello")).finish(9999);
    write_file(old_dat, old);
    const auto r = run_tool({old_dat, new_dat});
    EXPECT_EQ(r.status, 0);
    const Bytes fresh = read_file(new_dat);
    ASSERT_EQ(fresh.size(), old.size());
    EXPECT_TRUE(std::equal(old.begin(), old.begin() + 8, fresh.begin()));
    EXPECT_EQ(le32_at(fresh, 8), 0u);
    EXPECT_EQ(le32_at(fresh, 12), old.size());
    EXPECT_TRUE(std::equal(old.begin() + 16, old.end(), fresh.begin() + 16));
}

TEST_F(Startup, ShortFileGetsAZeroFilledHeaderTail) {
    Bytes old = DatFile().finish();
    old.resize(100);
    write_file(old_dat, old);
    const auto r = run_tool({old_dat, new_dat});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(summary(0, 0, 0, 0, 512, -412, false)), std::string::npos);
    const Bytes fresh = read_file(new_dat);
    ASSERT_EQ(fresh.size(), 512u);
    EXPECT_TRUE(std::equal(old.begin() + 16, old.end(), fresh.begin() + 16));
    EXPECT_EQ(std::count(fresh.begin() + 100, fresh.end(), 0), 412);
}

// A loop device backed by the file at path, or "" when none can be made.
std::string attach_loop(const std::string& path) {
    std::string device;
    if (std::FILE* p = popen(("losetup -f --show " + path + " 2>/dev/null").c_str(), "r")) {
        char line[64] = {};
        if (std::fgets(line, sizeof line, p) != nullptr) {
            device = std::string(line, std::strcspn(line, "\n"));
        }
        pclose(p);
    }
    return device;
}

// The input must survive every spelling of itself as an output name.
TEST_F(Startup, RefusesToWriteOverTheInput) {
    const Bytes old = DatFile().active(text("precious")).finish();
    write_file(old_dat, old);
    fs::create_hard_link(old_dat, dir.file("hard.dat"));
    fs::create_symlink(old_dat, dir.file("soft.dat"));
    fs::copy_file(old_dat, dir.file("copy.dat"));  // a copy with its times kept
    fs::last_write_time(dir.file("copy.dat"), fs::last_write_time(old_dat));
    const std::string dotted = dir.path().string() + "/./old.dat";
    for (const std::string& alias :
         {dotted, dir.file("hard.dat"), dir.file("soft.dat"), dir.file("copy.dat")}) {
        auto r = run_tool({old_dat, alias});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, alias + ": Same file as " + old_dat + "\n");
        EXPECT_EQ(r.out, "");

        // Every refusal comes before any output file is created or truncated.
        r = run_tool({old_dat, new_dat, alias});
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.err, alias + ": Same file as " + old_dat + "\n");
        EXPECT_FALSE(exists(new_dat));
        EXPECT_EQ(read_file(old_dat), old);
    }
    write_file(new_dat, text("keep"));
    for (const std::string& deleted : {dir.file("new.dat"), old_dat}) {
        const auto r = run_tool({old_dat, new_dat, deleted});
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.err,
                  deleted + ": Same file as " + (deleted == old_dat ? old_dat : new_dat) + "\n");
        EXPECT_EQ(read_file(new_dat), text("keep"));
        EXPECT_EQ(read_file(old_dat), old);
    }
    // The damaged file through an overlay, named by its lower layer, whose numbers differ: it
    // would be replaced, or written in place where its folder refuses creation, while it is read.
    const std::string layers = dir.file("layers");
    fs::create_directory(layers);
    if (mount("tmpfs", layers.c_str(), "tmpfs", 0, nullptr) != 0) {
        return require_or_skip("cannot mount a tmpfs and an overlay: mount needs root");
    }
    for (const char* layer : {"/lower", "/upper", "/work", "/merged"}) {
        fs::create_directory(layers + layer);
    }
    const std::string lower = layers + "/lower/old.dat";
    const std::string merged = layers + "/merged/old.dat";
    write_file(lower, old);
    const std::string options =
        "lowerdir=" + layers + "/lower,upperdir=" + layers + "/upper,workdir=" + layers + "/work";
    ASSERT_EQ(mount("overlay", (layers + "/merged").c_str(), "overlay", 0, options.c_str()), 0);
    for (const char* chattr : {"chattr -i ", "chattr +i "}) {
        ASSERT_EQ(std::system((chattr + layers + "/lower").c_str()), 0);
        for (const auto& [args, status] : {std::pair{std::vector<std::string>{merged, lower}, 2},
                                           {{merged, new_dat, lower}, 3}}) {
            const auto r = run_tool(args);
            EXPECT_EQ(r.status, status);
            EXPECT_EQ(r.err, lower + ": Same file as " + merged + "\n");
            EXPECT_EQ(read_file(lower), old);
        }
    }
    EXPECT_EQ(std::system(("chattr -i " + layers + "/lower").c_str()), 0);
    // The same through a loop device on the lower layer, and the mapfile by its lower layer.
    const std::string under = attach_loop(lower);
    write_file(layers + "/lower/copy.map", text("0 +\n0 " + std::to_string(old.size()) + " +\n"));
    for (const auto& [args, err] :
         {std::pair{std::vector<std::string>{merged, under}, under + ": Same file as " + merged},
          {{"-m", layers + "/merged/copy.map", old_dat, layers + "/lower/copy.map"},
           layers + "/lower/copy.map: Same file as " + layers + "/merged/copy.map"}}) {
        const auto r = run_tool(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, err + "\n");
    }
    EXPECT_EQ(std::system(("losetup -d " + under).c_str()), 0);
    umount2((layers + "/merged").c_str(), MNT_DETACH);
    umount2(layers.c_str(), MNT_DETACH);
}

// Two names for one output, whether it exists yet or not: the deleted records would be written
// over the new file.
TEST_F(Startup, RefusesEveryNameOfOneOutputWhetherItExistsOrNot) {
    write_file(old_dat, DatFile().active(text("a")).deleted(text("b")).finish());
    fs::create_directory(dir.file("sub"));
    fs::create_symlink("new.dat", dir.file("link.dat"));  // to a name not yet taken
    const std::vector<std::string> aliases{new_dat, dir.path().string() + "/./new.dat",
                                           dir.file("sub/../new.dat"), dir.file("link.dat")};
    for (const bool existing : {false, true}) {
        if (existing) {
            write_file(new_dat, text("keep"));
        }
        for (const std::string& alias : aliases) {
            const auto r = run_tool({old_dat, new_dat, alias});
            EXPECT_EQ(r.status, 3);
            EXPECT_EQ(r.err, alias + ": Same file as " + new_dat + "\n");
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(exists(new_dat), existing);
            EXPECT_TRUE(!existing || read_file(new_dat) == text("keep"));
        }
    }
    // Relative names, as typed.
    Stdio in_dir;
    in_dir.cwd = dir.path().string();
    auto r = run_tool({"old.dat", "new.dat", "./new.dat"}, in_dir);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "./new.dat: Same file as new.dat\n");
    // The mapfile, the one record of what a rescue could not read, is no output either.
    const Bytes map = text("0 +\n0 " + std::to_string(fs::file_size(old_dat)) + " +\n");
    write_file(dir.file("copy.map"), map);
    r = run_tool({"-m", "copy.map", "old.dat", "copy.map"}, in_dir);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "copy.map: Same file as copy.map\n");
    r = run_tool({"--mapfile=copy.map", "old.dat", "new.dat", "sub/../copy.map"}, in_dir);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "sub/../copy.map: Same file as copy.map\n");
    EXPECT_EQ(read_file(dir.file("copy.map")), map);
    // A link that leads back to itself is no name to write.
    fs::create_symlink("loop2", dir.file("loop1"));
    fs::create_symlink("loop1", dir.file("loop2"));
    r = run_tool({"old.dat", "loop1"}, in_dir);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "loop1: Too many levels of symbolic links\n");
    EXPECT_TRUE(fs::is_symlink(dir.file("loop1")));
}

// The report must not be written into a file the tool reads or writes.
TEST_F(Startup, RefusesStandardOutputAsAnyOfTheFiles) {
    const Bytes old = DatFile().active(text("a")).deleted(text("b")).finish();
    write_file(old_dat, old);
    write_file(new_dat, {});
    write_file(del_dat, text("keep"));
    struct Case {
        std::string name;
        int status;
    };
    for (const Case& c : {Case{old_dat, 2}, Case{new_dat, 2}, Case{del_dat, 3}}) {
        Stdio io;
        io.out = c.name;
        const auto r = run_tool({old_dat, new_dat, del_dat}, io);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.name + ": Same file as standard output\n");
        EXPECT_EQ(read_file(old_dat), old);
        EXPECT_EQ(read_file(new_dat), Bytes{});
        EXPECT_EQ(read_file(del_dat), text("keep"));
    }
    // The pipe the report goes down, by another name: the data would be mixed into it.
    Stdio piped;
    piped.command = {"bash", "-c", "set -o pipefail; \"$0\" \"$@\" | cat", DATMEND_BINARY};
    const auto r = run_tool({old_dat, new_dat, "/dev/stdout"}, piped);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "/dev/stdout: Same file as standard output\n");
}

// A block device is one file whatever it is called, and holds what lies on it: a loop device
// backed by the damaged file, or holding the filesystem it lies on, would be written over it,
// and a report written into the new file's device would be written over the salvage.
TEST_F(Startup, BlockDevicesThatHoldTheInputOrTheReportAreRefused) {
    Bytes image = DatFile().active(text("on a device")).finish();
    image.resize(64 * 1024, 0x5A);
    write_file(old_dat, image);
    const std::string device = attach_loop(old_dat);
    if (device.empty()) {
        return require_or_skip("no loop device: losetup needs root");
    }
    write_file(new_dat, DatFile().active(text("elsewhere")).finish());
    // Devices stacked on it: a loop device on the loop device, another on the damaged file.
    const std::string stacked = attach_loop(device);
    const std::string twin = attach_loop(old_dat);
    const std::string map = dir.file("copy.map");
    write_file(map, text("0 +\n0 65536 +\n#" + std::string(1000, '=')));
    const std::string map_device = attach_loop(map);
    fs::create_hard_link(old_dat, dir.file("gone.dat"));  // bound by a name removed since
    const std::string orphan = attach_loop(dir.file("gone.dat"));
    fs::remove(dir.file("gone.dat"));
    Stdio into_device;
    into_device.out = device;
    const std::string held = device + ": Same file as " + old_dat + "\n";
    struct Case {
        std::vector<std::string> args;
        Stdio io;
        std::string err;
        int status;
    };
    for (const Case& c :
         {Case{{device, device}, {}, device + ": Same file as " + device + "\n", 2},
          Case{{old_dat, device}, {}, held, 2}, Case{{old_dat, del_dat, device}, {}, held, 3},
          Case{{old_dat, stacked}, {}, stacked + ": Same file as " + old_dat + "\n", 2},
          Case{{device, twin}, {}, twin + ": Same file as " + device + "\n", 2},
          Case{
              {"-m", map, old_dat, map_device}, {}, map_device + ": Same file as " + map + "\n", 2},
          Case{{old_dat, orphan}, {}, orphan + ": Same file as " + old_dat + "\n", 2},
          Case{{new_dat, device}, into_device, device + ": Same file as standard output\n", 2},
          Case{{old_dat, del_dat}, into_device, old_dat + ": Same file as standard output\n", 2}}) {
        const auto r = run_tool(c.args, c.io);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_EQ(std::system(
                  ("losetup -d " + stacked + " " + twin + " " + map_device + " " + orphan).c_str()),
              0);
    // The device of the filesystem that the damaged file lies on.
    const std::string disk = dir.file("disk.img");
    const std::string mnt = dir.file("mnt");
    fs::create_directory(mnt);
    write_file(disk, Bytes(2 << 20, 0));
    const std::string disk_device = attach_loop(disk);
    ASSERT_EQ(std::system(
                  ("mkfs.ext4 -q " + disk_device + " && mount " + disk_device + " " + mnt).c_str()),
              0);
    write_file(mnt + "/old.dat", image);
    const auto r = run_tool({mnt + "/old.dat", disk_device});
    // Holding none of the damaged file, a mounted device is still not written: it is opened
    // exclusively.
    const auto mounted = run_tool({old_dat, disk_device});
    EXPECT_EQ(std::system(("umount " + mnt + "; losetup -d " + disk_device + " " + device).c_str()),
              0);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, disk_device + ": Same file as " + mnt + "/old.dat\n");
    EXPECT_EQ(read_file(old_dat), image);
    EXPECT_EQ(mounted.status, 2);
    EXPECT_EQ(mounted.err, disk_device + ": Device or resource busy\n");
}

// An attribute of the file at path, "" when it has none.
std::string attribute(const std::string& path, const char* name) {
    char value[256];
    const ssize_t n = getxattr(path.c_str(), name, value, sizeof value);
    return n > 0 ? std::string(value, static_cast<std::size_t>(n)) : "";
}

TEST_F(Startup, OutputFilesTakeTheDamagedFilesPermissions) {
    write_file(old_dat, DatFile().active(text("a")).deleted(text("private")).finish());
    for (const auto& [mode, mask, expected] :
         {std::tuple{0600, 022, 0600}, {0640, 022, 0640}, {0666, 077, 0600}}) {
        fs::remove(new_dat);
        fs::remove(del_dat);
        ASSERT_EQ(chmod(old_dat.c_str(), static_cast<mode_t>(mode)), 0);
        const mode_t old_umask = umask(static_cast<mode_t>(mask));
        const auto r = run_tool({old_dat, new_dat, del_dat});
        umask(old_umask);
        EXPECT_EQ(r.status, 0);
        for (const std::string& out : {new_dat, del_dat}) {
            struct stat st;
            ASSERT_EQ(stat(out.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, static_cast<mode_t>(expected)) << out;
        }
    }
    // A file that exists keeps its own mode, its access ACL and its user attributes.
    ASSERT_EQ(chmod(del_dat.c_str(), 0666), 0);
    ASSERT_EQ(chmod(new_dat.c_str(), 0600), 0);
    if (std::system(("setfacl -m u:nobody:rw " + new_dat + " 2>/dev/null").c_str()) != 0 ||
        setxattr(new_dat.c_str(), "user.note", "kept", 4, 0) != 0) {
        return require_or_skip("no setfacl (Debian: acl), or no user attributes here");
    }
    const std::string acl = attribute(new_dat, "system.posix_acl_access");
    ASSERT_NE(acl, "");
    EXPECT_EQ(run_tool({old_dat, new_dat, del_dat}).status, 0);
    struct stat st;
    ASSERT_EQ(stat(del_dat.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    ASSERT_EQ(stat(new_dat.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    EXPECT_EQ(attribute(new_dat, "system.posix_acl_access"), acl);
    EXPECT_EQ(attribute(new_dat, "user.note"), "kept");
    // A file created in a folder with a default ACL gets what the ACL gives, as cp's would.
    const std::string shared = dir.file("shared");
    fs::create_directory(shared);
    ASSERT_EQ(std::system(("setfacl -d -m u:nobody:rw,g::r,o::- " + shared).c_str()), 0);
    const mode_t old_umask = umask(022);
    EXPECT_EQ(run_tool({old_dat, shared + "/new.dat"}).status, 0);
    umask(old_umask);
    ASSERT_EQ(stat((shared + "/new.dat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0007, 0u);
}

// The owner of a read-only damaged file, an ordinary user, salvages it; the new file gets its
// read-only mode once complete, and a second run replaces it. A replaced file keeps its owner,
// and its group where the user may give it, or else is no one else's to read.
TEST_F(Startup, AReadOnlyDamagedFileSalvagesForItsOwner) {
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || nobody == nullptr) {
        return require_or_skip("running as another user needs root and the user nobody");
    }
    // A folder of nobody's, with the tool in it: nobody may not reach the build tree.
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::others_exec);
    const std::string home = dir.file("home");
    fs::create_directory(home);
    fs::copy_file(DATMEND_BINARY, home + "/datmend");
    const std::string old = home + "/old.dat";
    const std::string fresh = home + "/new.dat";
    const Bytes data = DatFile().active(text("read-only")).finish();
    write_file(old, data);
    age(old);  // its salvage, the same bytes, is no copy of it made with its times kept
    for (const std::string& file : {home, old, home + "/datmend"}) {
        ASSERT_EQ(chown(file.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    }
    ASSERT_EQ(chmod(old.c_str(), 0444), 0);
    Stdio as_nobody;
    as_nobody.command = {"setpriv", "--reuid=" + std::to_string(nobody->pw_uid),
                         "--regid=" + std::to_string(nobody->pw_gid), "--clear-groups",
                         home + "/datmend"};
    const mode_t old_umask = umask(022);
    for (int run = 0; run < 2; ++run) {
        const auto r = run_tool({old, fresh}, as_nobody);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(read_file(fresh), renumbered({make_record(0, text("read-only"))}));
        struct stat st;
        ASSERT_EQ(stat(fresh.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0444u);
        EXPECT_EQ(st.st_uid, nobody->pw_uid);
    }
    umask(old_umask);
    // A file of a group nobody is not in: the group cannot be kept, and neither it, now among
    // the others, nor anyone else may read the file.
    ASSERT_EQ(chown(fresh.c_str(), nobody->pw_uid, 0), 0);
    ASSERT_EQ(chmod(fresh.c_str(), 0604), 0);
    EXPECT_EQ(run_tool({old, fresh}, as_nobody).status, 0);
    struct stat st;
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_gid, nobody->pw_gid);
    // Replaced by root, nobody's file stays nobody's.
    EXPECT_EQ(run_tool({old, fresh}).status, 0);
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody->pw_uid);
    EXPECT_EQ(st.st_gid, nobody->pw_gid);
    // A link nobody planted in a folder anyone may write to does not lead root's output on.
    const std::string shared = dir.file("shared");
    fs::create_directory(shared);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    fs::create_symlink(fresh, shared + "/planted");
    fs::create_symlink(home, shared + "/folder");
    write_file(shared + "/file", text("nobody's"));
    for (const char* planted : {"/planted", "/folder", "/file"}) {
        ASSERT_EQ(lchown((shared + planted).c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    }
    for (const std::string planted : {"/planted", "/folder/new.dat", "/file"}) {
        const auto r = run_tool({old, shared + planted});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, shared + planted + ": Permission denied\n");
    }
    EXPECT_EQ(read_file(shared + "/file"), text("nobody's"));
    // In nobody's own shared folder, nobody's link is followed, as the kernel follows it.
    ASSERT_EQ(chown(shared.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    fs::remove(fresh);
    EXPECT_EQ(run_tool({old, shared + "/planted"}).status, 0);
    EXPECT_EQ(read_file(fresh), renumbered({make_record(0, text("read-only"))}));
}

// Under a tight limit on memory the tool either cannot start, or says so and touches nothing, or
// salvages in full: never a crash, never half an output.
TEST_F(Startup, MemoryThatRunsOutIsToldAndLeavesTheNamesAlone) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer cannot run under a limit on address space";
#endif
    const Bytes old = DatFile().active(text("a")).deleted(text("b")).finish();
    write_file(old_dat, old);
    bool told = false;
    for (int kib = 4000; kib <= 16000; kib += 500) {
        SCOPED_TRACE(kib);
        write_file(new_dat, text("keep"));
        Stdio limited;
        limited.command = {"sh", "-c",
                           "ulimit -v " + std::to_string(kib) + " && exec \"$0\" \"$@\"",
                           DATMEND_BINARY};
        const auto r = run_tool({old_dat, new_dat}, limited);
        EXPECT_EQ(temporaries_in(dir.path().string()), std::vector<std::string>{});
        if (r.status == 0) {
            EXPECT_EQ(read_file(new_dat), renumbered({make_record(0, text("a"))}));
            break;
        }
        EXPECT_EQ(read_file(new_dat), text("keep"));
        if (r.status == 2) {
            EXPECT_EQ(r.err, "datmend: Cannot allocate memory\n");
            told = true;
        } else {
            EXPECT_EQ(r.status, 127);  // the loader's own failure: too little to start at all
        }
    }
    EXPECT_TRUE(told);
}

// A dry run reports what the real run would: the same counts, new size and space saved.
TEST_F(Startup, DevNullTwiceIsADryRun) {
    Record torn = make_record(0, text("torn"));
    torn.trailer = 3;
    write_file(old_dat, DatFile().active(text("a")).add(torn).deleted(text("b")).finish());
    const auto dry = run_tool({old_dat, "/dev/null", "/dev/null"});
    const auto real = run_tool({old_dat, new_dat, del_dat});
    EXPECT_EQ(dry.status, 1);
    EXPECT_EQ(dry.err, "");
    const std::string names = banner(old_dat, "/dev/null", "/dev/null");
    ASSERT_EQ(dry.out.substr(0, names.size()), names);
    EXPECT_EQ(dry.out.substr(names.size()),
              real.out.substr(banner(old_dat, new_dat, del_dat).size()));
    EXPECT_NE(dry.out.find("New Eof Seek Location = 529\n"), std::string::npos);
}

// A dry run refuses what a real run refuses, prints its report but for the last line (and the
// banner's lines of names not given), ends with its status, and writes nothing but a lost map.
TEST_F(Startup, ADryRunWritesNothingButTheLostMap) {
    Record torn = make_record(0, text("torn"));
    torn.trailer = 3;
    write_file(old_dat, DatFile().active(text("a")).add(torn).deleted(text("b")).finish());
    write_file(new_dat, text("keep"));
    const std::string last =
        "\n*** You MUST create a new '.key' file that matches your new "
        "'.dat' file!\n";
    const std::string dry_last = "\n*** Dry run: no file was written.\n";
    const std::string output_line = "             Output Filename = " + new_dat + "\n";
    struct Case {
        std::vector<std::string> names;
        bool lost_map;
    };
    for (const Case& c : {Case{{old_dat}, false}, Case{{old_dat, new_dat, del_dat}, true},
                          Case{{old_dat, old_dat}, false}}) {
        std::vector<std::string> dry{"-n"};
        if (c.lost_map) {
            dry.insert(dry.end(), {"-l", dir.file("lost.map")});
        }
        dry.insert(dry.end(), c.names.begin(), c.names.end());
        const auto r = run_tool(dry);
        EXPECT_EQ(read_file(new_dat), text("keep"));
        EXPECT_EQ(fs::remove(dir.file("lost.map")), c.lost_map);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
        std::vector<std::string> real = c.names;
        real.resize(std::max<std::size_t>(real.size(), 2), new_dat);
        auto expected = run_tool(real);
        write_file(new_dat, text("keep"));
        fs::remove(del_dat);
        if (c.names.size() == 1) {
            expected.out.erase(expected.out.find(output_line), output_line.size());
        }
        if (expected.out.ends_with(last)) {
            expected.out.replace(expected.out.size() - last.size(), last.size(), dry_last);
        }
        EXPECT_EQ(r.out, expected.out);
        EXPECT_EQ(r.err, expected.err);
        EXPECT_EQ(r.status, expected.status);
    }
}

TEST_F(Startup, RefusesInputsItCannotSalvage) {
    auto r = run_tool({dir.path().string(), new_dat});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, dir.path().string() + ": Is a directory\n");
    EXPECT_EQ(r.out, "");

    const std::string pipe = dir.file("pipe");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    // The writer end keeps the reader's open from blocking.
    std::FILE* writer = std::fopen(pipe.c_str(), "r+");
    Stdio from_pipe;
    from_pipe.in = pipe;
    r = run_tool({"/dev/stdin", new_dat}, from_pipe);
    std::fclose(writer);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "/dev/stdin: Illegal seek\n");

    // A FIFO as old_file or new_file is refused without being opened, which would wait for
    // ever for the other end; nothing is created.
    write_file(old_dat, DatFile().active(text("a")).deleted(text("gone")).finish());
    r = run_tool({pipe, new_dat, del_dat});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, pipe + ": Illegal seek\n");
    r = run_tool({old_dat, pipe, del_dat});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, pipe + ": Illegal seek\n");
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(exists(new_dat));
    EXPECT_FALSE(exists(del_dat));

    // A deleted-records file may be a pipe, as from a process substitution: it is only written
    // straight through.
    std::string received;
    std::thread reader([&] {
        std::ifstream in(pipe, std::ios::binary);
        received.assign(std::istreambuf_iterator<char>(in), {});
    });
    r = run_tool({old_dat, new_dat, pipe});
    reader.join();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(received, "gone");
    fs::remove(new_dat);

    std::FILE* huge = std::fopen(old_dat.c_str(), "wb");
    ASSERT_EQ(ftruncate(fileno(huge), off_t{1} << 31), 0);
    std::fclose(huge);
    r = run_tool({old_dat, new_dat});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, old_dat + ": Value too large for defined data type\n");
    EXPECT_FALSE(exists(new_dat));
    EXPECT_EQ(fs::file_size(old_dat), std::uintmax_t{1} << 31);
}

}  // namespace
