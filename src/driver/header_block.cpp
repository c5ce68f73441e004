// A damaged file header is judged by the records: a chain of records whose trailers match their
// lengths says more about the file than 16 bytes that contradict it. The first 16 records that a
// silent walk delivers, reading the file as variable-length, are the evidence.
#include "driver/header_block.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "driver/exit_status.hpp"
#include "driver/failure.hpp"
#include "salvage/dump.hpp"
#include "salvage/walk.hpp"

namespace datmend {

namespace {

constexpr std::size_t kProbedRecords = 16;

// The first records of the file, read as variable-length: how many there are (up to 16), and the
// data lengths of the active and deleted ones; overhead records vary in length in any file.
struct Probe {
    std::size_t records = 0;
    std::size_t lengths = 0;
    std::array<std::uint32_t, kProbedRecords> length{};
};

Probe probe_records(DamagedFile& file) {
    Probe probe;
    Walk walk(file, FrameRules{file.physical_eof(), false, 0}, kHeaderBlockSize, nullptr);
    for (; probe.records < kProbedRecords && !walk.at_end(); ++probe.records) {
        const auto record = walk.next();
        if (!record) {
            break;
        }
        if (record->framed[0] <= kDeletedRecord) {
            probe.length[probe.lengths++] = get_le16(record->framed.data() + 2);
        }
    }
    return probe;
}

// A fixed-length header that no record agrees with takes the records' word for it: their
// length where they all have one, variable-length records where they differ. True when changed.
bool fit_record_length(FileHeader& h, const Probe& probe) {
    if (!is_fixed_length(h) || probe.lengths < 2) {
        return false;
    }
    const auto first = probe.length.begin();
    const auto last = first + static_cast<std::ptrdiff_t>(probe.lengths);
    if (std::find(first, last, static_cast<std::uint32_t>(h.record_length)) != last) {
        return false;
    }
    if (std::all_of(first, last, [&](std::uint32_t n) { return n == *first; })) {
        h.record_length = static_cast<std::int32_t>(*first);
    } else {
        h.organization &= static_cast<std::uint16_t>(~1u);
    }
    return true;
}

// "File Organization = %d " and its kind, then the record length's line.
void print_organization(Writer& out, const FileHeader& h) {
    out.print("           File Organization = %d ", static_cast<int>(h.organization));
    if (is_fixed_length(h) && h.organization <= kHighestOrganization) {
        out.write("( Fixed Length Records )\n");
        out.print("               Record Length = %d\n", static_cast<int>(h.record_length));
    } else {
        out.write("( Variable Length Records )\n");
        out.write("               Record Length = (var)\n");
    }
}

void print_version(Writer& out, const FileHeader& h) {
    out.print("              Tavrel Version = %d\n", static_cast<int>(h.fm_version));
}

void print_header_report(Writer& out, const FileHeader& h) {
    out.write("\nFile Header Information:\n");
    print_organization(out, h);
    print_version(out, h);
    out.print("   Freelist Starting Address = %d\n", static_cast<int>(h.freelist_address));
    out.print("         End of File Address = %d\n", static_cast<int>(h.eof_address));
}

// The line of the first check the header fails, if any.
void print_failed_check(Writer& out, const FileHeader& h) {
    if (h.organization > kHighestOrganization) {
        out.write("ERROR!!  Wrong File Organization!\n");
    } else if (h.fm_version != kFileManagerVersion) {
        out.write("ERROR!!  Wrong File Manager Version!\n");
    }
}

// The 496 bytes after the file header; those a short file or the disk cannot supply are zero.
void read_header_tail(DamagedFile& damaged, std::uint8_t* tail) {
    std::memset(tail, 0, kHeaderTailSize);
    const auto bytes = damaged.view(kFileHeaderSize, kHeaderTailSize);
    if (!bytes.empty()) {
        std::memcpy(tail, bytes.data(), bytes.size());
    }
}

}  // namespace

HeaderVerdict judge_file_header(RunState& state) {
    DamagedFile& file = state.damaged;
    const auto bytes = file.view(0, kFileHeaderSize);
    if (bytes.size() != kFileHeaderSize) {
        return HeaderVerdict::no_header;
    }
    state.header_readable = file.readable(0, kFileHeaderSize);
    state.header_as_read = decode_file_header(bytes.data());
    FileHeader h = state.header_as_read;
    if (state.header_readable && h.fm_version == kFileManagerVersion &&
        h.organization > kHighestOrganization) {
        return HeaderVerdict::refused;  // another kind of file, not damage
    }
    const bool damaged = !state.header_readable || h.fm_version != kFileManagerVersion;
    Probe probe;
    bool probed = false;
    if (damaged) {
        probe = probe_records(file);
        probed = true;
        if (probe.records < 2) {
            return state.header_readable ? HeaderVerdict::refused : HeaderVerdict::no_header;
        }
        h.fm_version = kFileManagerVersion;
        // Variable-length: the reading that keeps every intact record, whatever its length.
        if (!state.header_readable || h.organization > kHighestOrganization) {
            h.organization = 0;
            h.record_length = 0;
        }
    }
    if (is_fixed_length(h) && !probed) {
        probe = probe_records(file);
    }
    const bool fitted = fit_record_length(h, probe);
    state.file_header = h;
    state.header_rebuilt = damaged || fitted;
    return state.header_rebuilt ? HeaderVerdict::rebuilt : HeaderVerdict::whole;
}

void print_refused_header(RunState& state) {
    print_header_report(state.report, state.header_as_read);
    print_failed_check(state.report, state.header_as_read);
}

void report_file_header(RunState& state) {
    Writer& out = state.report;
    const FileHeader& read = state.header_as_read;
    if (!state.header_readable) {
        out.write("\n*** Unreadable File Header, Read Error! ***\n");
    } else {
        print_header_report(out, read);
        print_failed_check(out, read);
        const std::uint32_t physical_eof = state.damaged.physical_eof();
        if (static_cast<std::uint32_t>(read.eof_address) != physical_eof) {
            out.write("\n*** WARNING *** The Physical EOF does not match the file Header!\n");
            out.print("                  (Physical End of File is at %d)\n",
                      static_cast<int>(physical_eof));
        }
    }
    if (state.header_rebuilt) {
        out.write("\n*** Damaged File Header, Rebuilt from the Records! ***\n");
        print_organization(out, state.file_header);
        print_version(out, state.file_header);
        dump_discarded(state.damaged, state.damage, 0, kFileHeaderSize - 1);
    }
}

int write_header_block(RunState& state) {
    std::uint8_t block[kHeaderBlockSize];
    read_header_tail(state.damaged, block + kFileHeaderSize);
    FileHeader& header = state.file_header;
    header.freelist_address = 0;
    encode_file_header(header, block);
    Writer& out = state.outputs.new_file().writer();
    if (!out.write(block, sizeof block) || !out.flush()) {
        return report_write_failure(state, {&out, out.error()});
    }
    return 0;
}

bool patch_new_header(RunState& state) {
    OutputFile& new_file = state.outputs.new_file();
    state.new_eof = static_cast<std::uint32_t>(new_file.writer().written());
    state.file_header.eof_address = static_cast<std::int32_t>(state.new_eof);
    std::uint8_t bytes[kFileHeaderSize];
    encode_file_header(state.file_header, bytes);
    return new_file.patch(0, bytes, sizeof bytes);
}

}  // namespace datmend
