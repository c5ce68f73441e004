// The salvage properties, checked on the files an in-process run leaves behind.
#include "invariants.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "builder.hpp"
#include "driver/entry.hpp"

namespace testkit {

using namespace datbuild;

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

InProcessRun salvage(const std::vector<std::string>& names,
                     const datmend::DamagedFile::ReadFunction& read) {
    std::vector<std::string> args{"datmend"};
    args.insert(args.end(), names.begin(), names.end());
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    char* errors = nullptr;
    std::size_t length = 0;
    const int report = memfd_create("report", 0);
    InProcessRun run;
    {
        datmend::RunState state;
        if (read) {
            state.salvage.damaged.set_read_function(read);
        }
        state.salvage.report = datmend::Report(report);
        state.err = open_memstream(&errors, &length);
        run.status = datmend::run_datmend(state, static_cast<int>(args.size()), argv.data());
        const auto& c = state.counts;
        run.accounted =
            c.active_bytes + c.deleted_bytes + c.overhead_bytes + state.salvage.dumped_bytes;
        run.errors = state.salvage.error_count;
        run.active = c.active;
        std::fclose(state.err);
    }
    run.report = read_all(report) + std::string(errors, length);
    std::free(errors);
    close(report);
    return run;
}

namespace {

// The new file's own framing: header block, then active records numbered from 0, to the end.
std::string check_new_file(const Bytes& b, std::uint32_t active) {
    if (b.size() < 512) {
        return "new file shorter than its header block";
    }
    if (le32_at(b, 8) != 0 || le32_at(b, 12) != b.size()) {
        return "new file header not patched";
    }
    std::size_t p = 512;
    for (std::uint32_t i = 0; p < b.size(); ++i) {
        if (p + 16 > b.size()) {
            return "new file ends inside a record";
        }
        const std::uint32_t n = le16_at(b, p + 2);
        if (b[p] != 0 || b[p + 1] != 0 || le32_at(b, p + 4) != 0 || le32_at(b, p + 8) != i ||
            n == 0 || p + 16 + n > b.size() || le32_at(b, p + 12 + n) != n) {
            return "bad record " + std::to_string(i) + " in new file";
        }
        p += 16 + n;
        if (p == b.size() && i + 1 != active) {
            return "new file holds a different number of records than copied";
        }
    }
    return "";
}

}  // namespace

std::string check_salvage(const std::uint8_t* data, std::size_t size, const std::string& dir) {
    const std::string old_dat = dir + "/old.dat";
    const std::string new_dat = dir + "/new.dat";
    const std::string del_dat = dir + "/del.dat";
    const Bytes damaged(data, data + size);
    write_file(old_dat, damaged);

    const InProcessRun first = salvage({old_dat, new_dat, del_dat});
    if (read_file(old_dat) != damaged) {
        return "damaged file modified";
    }
    const bool header_passes = size >= 16 && le16_at(damaged, 0) <= 3 && le16_at(damaged, 2) == 2;
    if (!header_passes) {
        return first.status == 4 || first.status == 9 ? "" : "bad header not refused";
    }
    if (first.status != static_cast<int>(std::min<std::uint32_t>(first.errors, 255))) {
        return "exit status is not the error count: " + std::to_string(first.status);
    }
    if (size >= 512 && first.accounted != size - 512) {
        return "bytes unaccounted for: " + std::to_string(first.accounted) + " of " +
               std::to_string(size - 512);
    }
    const Bytes fresh = read_file(new_dat);
    if (std::string why = check_new_file(fresh, first.active); !why.empty()) {
        return why;
    }

    const InProcessRun without = salvage({old_dat, new_dat});
    if (without.status != first.status || read_file(new_dat) != fresh) {
        return "salvage without a deleted-records file differs";
    }

    const std::string again_dat = dir + "/again.dat";
    const InProcessRun again = salvage({new_dat, again_dat, del_dat});
    if (again.status != 0 || again.report.find("File Errors Found = 0\n") == std::string::npos ||
        again.report.find("WARNING") != std::string::npos) {
        return "new file is not clean:\n" + again.report;
    }
    if (read_file(again_dat) != fresh || !read_file(del_dat).empty()) {
        return "salvaging the new file changes it";
    }
    return "";
}

}  // namespace testkit
