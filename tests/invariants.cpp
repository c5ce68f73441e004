// The salvage properties, checked on the files and the report an in-process run leaves behind.
#include "invariants.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "builder.hpp"
#include "driver/entry.hpp"

namespace testkit {

using namespace datbuild;

namespace {

// The file's bytes from offset, n of them, read as they are on disk.
Bytes read_range(const std::string& path, std::uint64_t offset, std::size_t n) {
    Bytes b(n);
    std::FILE* f = std::fopen(path.c_str(), "rb");
    std::size_t got = 0;
    if (f != nullptr) {
        if (fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0) {
            got = std::fread(b.data(), 1, n, f);
        }
        std::fclose(f);
    }
    b.resize(got);
    return b;
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::uint64_t size_of(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

// FNV-1a over the whole file, a piece at a time.
std::uint64_t checksum(const std::string& path) {
    std::uint64_t h = 14695981039346656037ull;
    const std::uint64_t size = size_of(path);
    for (std::uint64_t at = 0; at < size; at += 1 << 16) {
        for (const std::uint8_t byte : read_range(path, at, 1 << 16)) {
            h = (h ^ byte) * 1099511628211ull;
        }
    }
    return h;
}

// The new file's own framing: header block, then active records numbered from 0, to the end.
std::string check_new_file(const Bytes& b, std::uint32_t active) {
    if (b.size() < 512) {
        return "new file shorter than its header block";
    }
    if (le32_at(b, 8) != 0 || le32_at(b, 12) != b.size()) {
        return "new file header not patched";
    }
    std::size_t p = 512;
    std::uint32_t i = 0;
    for (; p < b.size(); ++i) {
        if (p + 16 > b.size()) {
            return "new file ends inside a record";
        }
        const std::uint32_t n = le16_at(b, p + 2);
        if (b[p] != 0 || b[p + 1] != 0 || le32_at(b, p + 4) != 0 || le32_at(b, p + 8) != i ||
            n == 0 || p + 16 + n > b.size() || le32_at(b, p + 12 + n) != n) {
            return "bad record " + std::to_string(i) + " in new file";
        }
        p += 16 + n;
    }
    return i == active ? "" : "new file holds a different number of records than copied";
}

// Where the disk fails, as the tool must see it.
struct Lost {
    const FaultyDisk* disk = nullptr;
    std::uint64_t eof = 0;

    bool at(std::uint64_t b) const {
        return disk != nullptr && b < eof &&
               (disk->bad_sectors.count(static_cast<std::uint32_t>(b / 512)) != 0 ||
                (disk->size && b >= *disk->size));
    }
    std::uint64_t count(std::uint64_t from) const {
        std::uint64_t n = 0;
        for (std::uint64_t sector = from / 512; disk != nullptr && sector * 512 < eof; ++sector) {
            const std::uint64_t first = std::max(from, sector * 512);
            const std::uint64_t end = std::min(eof, sector * 512 + 512);
            if (disk->bad_sectors.count(static_cast<std::uint32_t>(sector)) != 0) {
                n += end - first;
            } else if (disk->size && end > *disk->size) {
                n += end - std::max<std::uint64_t>(first, *disk->size);
            }
        }
        return n;
    }
};

constexpr std::uint32_t kPiece = 1 << 16;  // a multiple of a row's 16 bytes

// The map that the dumped stretches make of a file of size bytes: "-" over each, "+" elsewhere,
// blocks of one status merged.
std::vector<Block> map_of(const std::vector<Block>& dumped, std::uint64_t size) {
    std::vector<Block> map;
    const auto cover = [&map](std::uint64_t pos, std::uint64_t end, char status) {
        if (pos == end) {
            return;
        }
        if (!map.empty() && map.back().status == status) {
            map.back().size = end - map.back().pos;
        } else {
            map.push_back({pos, end - pos, status});
        }
    };
    std::uint64_t at = 0;
    for (const Block& d : dumped) {
        cover(at, d.pos, '+');
        cover(d.pos, d.pos + d.size, '-');
        at = d.pos + d.size;
    }
    cover(at, size, '+');
    return map;
}

}  // namespace

std::vector<Block> read_map(const std::string& path) {
    std::vector<Block> blocks;
    std::FILE* f = std::fopen(path.c_str(), "r");
    char line[256];
    bool status_line = false;
    while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr) {
        unsigned long long pos = 0;
        unsigned long long size = 0;
        char status = 0;
        if (line[0] == '#') {
            continue;
        }
        if (!status_line) {
            status_line = true;
        } else if (std::sscanf(line, "0x%llx 0x%llx %c", &pos, &size, &status) == 3) {
            blocks.push_back({pos, size, status});
        } else {
            blocks.push_back({0, 0, '!'});  // not a block
        }
    }
    if (f != nullptr) {
        std::fclose(f);
    }
    return blocks;
}

namespace {

// Reads the report line by line and checks every dump in it against the file and the disk;
// sets unreadable to the summary's count of unreadable bytes (0 without that line) and
// question_marks to the "??" shown.
std::string check_dumps(int report_fd, const std::string& old_dat, const Lost& lost,
                        std::uint64_t& unreadable, std::uint64_t& question_marks,
                        std::vector<Block>& dumped) {
    std::FILE* report = fdopen(dup(report_fd), "r");
    std::rewind(report);
    char* line = nullptr;
    std::size_t capacity = 0;
    std::string why;
    unreadable = 0;
    question_marks = 0;
    while (why.empty() && getline(&line, &capacity, report) > 0) {
        unsigned count = 0;
        unsigned first = 0;
        unsigned long long skipped = 0;
        if (std::sscanf(line, "    Unreadable Bytes Skipped = %llu", &skipped) == 1) {
            unreadable = skipped;
        }
        if (std::sscanf(line, "*** %u Bytes starting at offset %u not written", &count, &first) !=
            2) {
            continue;
        }
        dumped.push_back({first, count, '-'});
        Bytes piece;  // the stretch's bytes on disk, a piece at a time
        for (std::uint32_t i = 0; i < count && why.empty(); i += 16) {
            if (i % kPiece == 0) {
                piece = read_range(old_dat, first + i, std::min(kPiece, count - i));
                piece.resize(std::min(kPiece, count - i), 0);
            }
            const std::uint32_t n = std::min<std::uint32_t>(16, count - i);
            std::uint8_t flags[16] = {};
            for (std::uint32_t k = 0; k < n; ++k) {
                flags[k] = lost.at(first + i + k) ? 1 : 0;
                question_marks += flags[k];
            }
            if (getline(&line, &capacity, report) <= 0 ||
                line != dump_row(piece.data() + i % kPiece, flags, n, i)) {
                why = "dump at " + std::to_string(first) + " shows row " + std::to_string(i / 16) +
                      " wrong: " + (line != nullptr ? line : "");
            }
        }
    }
    std::free(line);
    std::fclose(report);
    return why;
}

// A report that says the new file is clean: no errors and no warning.
bool says_clean(int report_fd) {
    const std::string text = read_all(report_fd);
    return text.find("File Errors Found = 0\n") != std::string::npos &&
           text.find("WARNING") == std::string::npos;
}

class ReportFile {
  public:
    ReportFile() : fd_(memfd_create("report", 0)) {}
    ~ReportFile() { close(fd_); }
    ReportFile(const ReportFile&) = delete;
    ReportFile& operator=(const ReportFile&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

std::vector<char*> argv_of(std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    return argv;
}

void age(const std::string& path) {
    const timespec past[2] = {{978307200, 0}, {978307200, 0}};  // 2001-01-01
    utimensat(AT_FDCWD, path.c_str(), past, 0);
}

std::string read_all(int fd) {
    std::string s;
    char buf[65536];
    for (off_t at = 0;;) {
        const ssize_t n = pread(fd, buf, sizeof buf, at);
        if (n <= 0) {
            return s;
        }
        s.append(buf, static_cast<std::size_t>(n));
        at += n;
    }
}

std::string dump_row(const std::uint8_t* bytes, const std::uint8_t* lost, std::uint32_t n,
                     std::uint32_t index) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string row;
    for (int shift = 28; shift >= 0; shift -= 4) {
        row += kDigits[(index >> shift) & 0xF];
    }
    row += ": ";
    std::string text;
    for (std::uint32_t col = 0; col < 16; ++col) {
        if (col >= n) {
            row += ".. ";
            text += '~';
        } else if (lost != nullptr && lost[col] != 0) {
            row += "?? ";
            text += '~';
        } else {
            const std::uint8_t b = bytes[col];
            row += kDigits[b >> 4];
            row += kDigits[b & 0xF];
            row += ' ';
            text += b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '~';
        }
    }
    return row + "|" + text + "|\n";
}

void Accounting::header(const datmend::HeaderJudgement& judgement) {
    header_rebuilt = judgement.verdict == datmend::HeaderVerdict::rebuilt;
    if (also != nullptr) {
        also->header(judgement);
    }
}

void Accounting::records(const datmend::RecordRun& run) {
    bytes += run.end - run.first;
    active += run.active;
    if (also != nullptr) {
        also->records(run);
    }
}

void Accounting::discarded(const datmend::Stretch& stretch) {
    bytes += stretch.last - stretch.first + 1;
    ++errors;
    if (also != nullptr) {
        also->discarded(stretch);
    }
}

void Accounting::repaired(const datmend::RepairedRecord& record) {
    ++errors;
    if (also != nullptr) {
        also->repaired(record);
    }
}

void Accounting::reached(std::uint32_t offset) {
    if (also != nullptr) {
        also->reached(offset);
    }
}

InProcessRun salvage(const std::vector<std::string>& names,
                     const datmend::DamagedFile::ReadFunction& read, int report_fd,
                     const datmend::SystemCalls* calls) {
    std::vector<std::string> args{"datmend"};
    args.insert(args.end(), names.begin(), names.end());
    std::vector<char*> argv = argv_of(args);

    char* errors = nullptr;
    std::size_t length = 0;
    const ReportFile own;
    const int report = report_fd >= 0 ? report_fd : own.fd();
    InProcessRun run;
    // Taken before the run, so that a run whose memory ran out is told without taking more.
    run.report.reserve(4096);
    datmend::Surroundings around;
    around.report_fd = report;
    around.err = open_memstream(&errors, &length);
    around.read = read;
    if (calls != nullptr) {
        around.calls = calls;
    }
    // The run holds the fatal signals off once it starts to change names, for good.
    sigset_t signals;
    sigprocmask(SIG_SETMASK, nullptr, &signals);
    Accounting accounting;
    around.also = &accounting;
    run.status = datmend::run_datmend(around, static_cast<int>(args.size()), argv.data());
    sigprocmask(SIG_SETMASK, &signals, nullptr);
    run.accounted = accounting.bytes;
    run.errors = accounting.errors;
    run.active = accounting.active;
    run.header_rebuilt = accounting.header_rebuilt;
    std::fclose(around.err);
    if (report_fd < 0) {
        run.report = read_all(report);
    }
    run.report.append(errors, length);
    std::free(errors);
    return run;
}

std::string check_salvage(const std::string& dir, FaultyDisk* disk,
                          std::optional<std::uint32_t> all_active, bool repair) {
    const std::string old_dat = dir + "/old.dat";
    const std::string new_dat = dir + "/new.dat";
    const std::string del_dat = dir + "/del.dat";
    const std::uint64_t size = size_of(old_dat);
    const std::uint64_t sum = checksum(old_dat);
    const Lost lost{disk, size};
    const auto read = disk != nullptr ? disk->reader() : datmend::DamagedFile::ReadFunction{};
    const auto names = [repair](std::vector<std::string> files) {
        if (repair) {
            files.insert(files.begin(), "-r");
        }
        return files;
    };

    age(old_dat);
    const bool had_new = exists(new_dat);
    const std::uint64_t new_sum = had_new ? checksum(new_dat) : 0;
    const ReportFile report;
    const std::string lost_map = dir + "/lost.map";
    const InProcessRun first =
        salvage(names({"-l", lost_map, old_dat, new_dat, del_dat}), read, report.fd());
    if (checksum(old_dat) != sum) {
        return "damaged file modified";
    }
    if (disk != nullptr && !disk->never_read_a_bad_sector_again()) {
        return "a sector found unreadable was read again";
    }
    const Bytes head = read_range(old_dat, 0, 16);
    bool header_readable = head.size() == 16;
    std::uint64_t header_lost = 0;
    for (std::uint64_t b = 0; b < 16; ++b) {
        header_readable = header_readable && !lost.at(b);
        header_lost += lost.at(b) ? 1 : 0;
    }
    const bool refused =
        head.size() < 16 || (header_readable && le16_at(head, 2) == 2 && le16_at(head, 0) > 3);
    const bool damaged = !header_readable || le16_at(head, 2) != 2;
    // A refused header ends the run before anything is counted; otherwise 4 and 9 are counts.
    if ((first.status == 4 || first.status == 9) && first.errors == 0) {
        if ((!refused && !damaged) || all_active) {
            return "a sound header refused";
        }
        if (exists(new_dat) != had_new || (had_new && checksum(new_dat) != new_sum)) {
            return "a refused run touched the new file";
        }
        return "";
    }
    if (refused) {
        return "bad header not refused";
    }
    if (all_active && first.active != *all_active) {
        return "intact records lost: " + std::to_string(first.active) + " of " +
               std::to_string(*all_active) + " copied";
    }
    if (first.status != static_cast<int>(std::min<std::uint32_t>(first.errors, 255))) {
        return "exit status is not the error count: " + std::to_string(first.status);
    }
    // A rebuilt header's 16 bytes are dumped too.
    const std::uint64_t header_dump = first.header_rebuilt ? 16 : 0;
    if (size >= 512 && first.accounted != size - 512 + header_dump) {
        return "bytes unaccounted for: " + std::to_string(first.accounted) + " of " +
               std::to_string(size - 512 + header_dump);
    }
    std::uint64_t unreadable = 0;
    std::uint64_t question_marks = 0;
    std::vector<Block> dumped;
    if (std::string why =
            check_dumps(report.fd(), old_dat, lost, unreadable, question_marks, dumped);
        !why.empty()) {
        return why;
    }
    if (read_map(lost_map) != map_of(dumped, size)) {
        return "the lost map is not the dumped stretches";
    }
    if (unreadable != lost.count(0) ||
        question_marks != lost.count(512) + (first.header_rebuilt ? header_lost : 0)) {
        return "unreadable bytes: " + std::to_string(unreadable) + " counted, " +
               std::to_string(question_marks) + " shown, " + std::to_string(lost.count(0)) +
               " lost";
    }
    const Bytes fresh = read_range(new_dat, 0, size_of(new_dat));
    if (std::string why = check_new_file(fresh, first.active); !why.empty()) {
        return why;
    }

    if (disk != nullptr) {
        disk->forget();
    }
    const InProcessRun without = salvage(names({old_dat, new_dat}), read, ReportFile().fd());
    if (without.status != first.status || read_range(new_dat, 0, fresh.size() + 1) != fresh) {
        return "salvage without a deleted-records file differs";
    }

    const std::string again_dat = dir + "/again.dat";
    std::remove(again_dat.c_str());  // a salvage of the same bytes in the same second, if any
    const ReportFile again_report;
    const InProcessRun again = salvage({new_dat, again_dat, del_dat}, {}, again_report.fd());
    if (again.status != 0 || !says_clean(again_report.fd())) {
        return "new file is not clean:\n" + read_all(again_report.fd());
    }
    if (read_range(again_dat, 0, fresh.size() + 1) != fresh || size_of(del_dat) != 0) {
        return "salvaging the new file changes it";
    }
    return "";
}

std::optional<std::uint32_t> every_active_record(const datgen::Expanded& e,
                                                 const std::string& path) {
    const bool only_sector_0 =
        e.bad_sectors.empty() || (e.bad_sectors.size() == 1 && *e.bad_sectors.begin() == 0);
    if (!e.intact || e.records < 2 || e.shrinks_to || !only_sector_0) {
        return std::nullopt;
    }
    const Bytes head = read_range(path, 0, 16);
    if (!e.bad_sectors.empty()) {
        return e.active;  // an unreadable header is rebuilt as variable-length
    }
    const std::uint32_t organization = le16_at(head, 0);
    const bool damaged = le16_at(head, 2) != 2;
    if (!damaged && organization > 3) {
        return std::nullopt;  // another kind of file
    }
    if ((damaged && organization > 3) || (organization & 1) == 0) {
        return e.active;  // variable-length
    }
    // Fixed length: the records say which length, unless some of them, not all, agree with the
    // header's, or too few of them are active or deleted to say anything.
    const auto& lengths = e.first_lengths;
    const bool agreed =
        std::find(lengths.begin(), lengths.end(), le32_at(head, 4)) != lengths.end();
    if (lengths.size() < 2 || (agreed && !e.one_length)) {
        return std::nullopt;
    }
    return e.active;
}

namespace {

// The data of a new file's records, one at a time, from a place that can be gone back to.
class NewRecords {
  public:
    explicit NewRecords(const std::string& path) : f_(std::fopen(path.c_str(), "rb")) {}
    ~NewRecords() {
        if (f_ != nullptr) {
            std::fclose(f_);
        }
    }
    NewRecords(const NewRecords&) = delete;
    NewRecords& operator=(const NewRecords&) = delete;
    long at() const { return f_ != nullptr ? std::ftell(f_) : 0; }
    void go_to(long at) {
        if (f_ != nullptr) {
            std::fseek(f_, std::max(at, 512L), SEEK_SET);
        }
    }
    // The next record's data into data; false at the end.
    bool next(Bytes& data) {
        std::uint8_t header[12];
        if (f_ == nullptr || std::fread(header, 1, 12, f_) != 12) {
            return false;
        }
        data.resize(le16_at(Bytes(header, header + 12), 2));
        return std::fread(data.data(), 1, data.size(), f_) == data.size() &&
               std::fseek(f_, 4, SEEK_CUR) == 0;
    }
    // True when a record from here on holds data; stays past it, or where it was when none does.
    bool find(const Bytes& data) {
        const long from = at();
        for (Bytes found; next(found);) {
            if (found == data) {
                return true;
            }
        }
        go_to(from);
        return false;
    }

  private:
    std::FILE* f_;
};

// The records a report tells as repaired: where each starts and the length it is taken with,
// read off its header's row and its trailer's.
std::vector<std::pair<std::uint32_t, std::uint32_t>> repairs_told(int report_fd) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> repairs;
    std::FILE* report = fdopen(dup(report_fd), "r");
    std::rewind(report);
    char* line = nullptr;
    std::size_t capacity = 0;
    unsigned at = 0;
    unsigned trailer = 0;
    while (getline(&line, &capacity, report) > 0) {
        if (std::sscanf(line, "*** Record at offset %u repaired", &at) == 1 &&
            getline(&line, &capacity, report) > 0 && getline(&line, &capacity, report) > 0 &&
            std::sscanf(line, "%X:", &trailer) == 1) {
            repairs.emplace_back(at, trailer - at - 12);
        }
    }
    std::free(line);
    std::fclose(report);
    return repairs;
}

}  // namespace

std::string check_repair(const std::string& dir, FaultyDisk* disk) {
    const std::string old_dat = dir + "/old.dat";
    const auto read = disk != nullptr ? disk->reader() : datmend::DamagedFile::ReadFunction{};
    age(old_dat);
    salvage({old_dat, dir + "/plain.dat"}, read, ReportFile().fd());
    if (disk != nullptr) {
        disk->forget();
    }
    if (std::string why = check_salvage(dir, disk, std::nullopt, true); !why.empty()) {
        return "with -r: " + why;
    }
    const ReportFile report;
    salvage({"-r", old_dat, dir + "/repaired.dat"}, read, report.fd());
    const auto repairs = repairs_told(report.fd());
    NewRecords repaired(dir + "/repaired.dat");
    repaired.go_to(512);
    for (const auto& [at, length] : repairs) {
        if (read_range(old_dat, at, 1) == Bytes{0} &&
            !repaired.find(read_range(old_dat, at + 12, length))) {
            return "repaired record at " + std::to_string(at) + " is not the file's bytes";
        }
    }
    NewRecords plain(dir + "/plain.dat");
    plain.go_to(512);
    repaired.go_to(512);
    for (Bytes data; plain.next(data);) {
        const auto inside = [&](const std::pair<std::uint32_t, std::uint32_t>& r) {
            const Bytes bytes = read_range(old_dat, r.first, r.second + 16);
            return std::search(bytes.begin(), bytes.end(), data.begin(), data.end()) != bytes.end();
        };
        if (!repaired.find(data) && std::none_of(repairs.begin(), repairs.end(), inside)) {
            return "a record copied without -r is not copied with it";
        }
    }
    return "";
}

std::string check_salvage(const std::uint8_t* data, std::size_t size, const std::string& dir) {
    write_file(dir + "/old.dat", Bytes(data, data + size));
    return check_salvage(dir);
}

}  // namespace testkit
