// The header block in the report and in the new file. The report shows the header as read, so
// that the user sees what the file says, and what the run made of it.
#include "driver/header_block.hpp"

#include <cstring>

#include "driver/exit_status.hpp"
#include "driver/report.hpp"

namespace datmend {

namespace {

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

int report_stopping_header(Writer& out, const Names& names, const HeaderJudgement& judgement) {
    switch (judgement.verdict) {
        case HeaderVerdict::no_header:
            out.print("Bad File Header %d\n", 0);
            return kBadFileHeader;
        case HeaderVerdict::refused:
            print_banner(out, names);
            print_header_report(out, judgement.as_read);
            print_failed_check(out, judgement.as_read);
            return kRefusedHeader;
        case HeaderVerdict::whole:
        case HeaderVerdict::rebuilt:
            break;
    }
    return 0;
}

std::string why_not_a_data_file(const HeaderJudgement& judgement, std::uint32_t physical_eof) {
    const FileHeader& h = judgement.as_read;
    const std::string unvouched = ", and fewer than 2 records vouch for it";
    if (judgement.verdict == HeaderVerdict::no_header) {
        return physical_eof < kFileHeaderSize ? "its header block is shorter than 16 bytes"
                                              : "its file header cannot be read" + unvouched;
    }
    if (h.fm_version != kFileManagerVersion) {
        return "its file manager version is " + std::to_string(h.fm_version) + ", not 2" +
               unvouched;
    }
    return "its file organization is " + std::to_string(h.organization) + ", not 0 to 3";
}

void report_file_header(Writer& out, DamageLog& damage, DamagedFile& file,
                        const HeaderJudgement& judgement) {
    const FileHeader& read = judgement.as_read;
    if (!judgement.readable) {
        out.write("\n*** Unreadable File Header, Read Error! ***\n");
    } else {
        print_header_report(out, read);
        print_failed_check(out, read);
        const std::uint32_t physical_eof = file.physical_eof();
        if (static_cast<std::uint32_t>(read.eof_address) != physical_eof) {
            out.write("\n*** WARNING *** The Physical EOF does not match the file Header!\n");
            out.print("                  (Physical End of File is at %d)\n",
                      static_cast<int>(physical_eof));
        }
    }
    if (judgement.verdict == HeaderVerdict::rebuilt) {
        out.write("\n*** Damaged File Header, Rebuilt from the Records! ***\n");
        print_organization(out, judgement.header);
        print_version(out, judgement.header);
        dump_discarded(file, damage, 0, kFileHeaderSize - 1);
    }
}

bool write_header_block(Writer& new_file, DamagedFile& file, FileHeader header) {
    std::uint8_t block[kHeaderBlockSize];
    read_header_tail(file, block + kFileHeaderSize);
    header.freelist_address = 0;
    encode_file_header(header, block);
    return new_file.write(block, sizeof block) && new_file.flush();
}

bool patch_new_header(OutputFile& new_file, FileHeader header, std::uint32_t new_eof) {
    header.freelist_address = 0;
    header.eof_address = static_cast<std::int32_t>(new_eof);
    std::uint8_t bytes[kFileHeaderSize];
    encode_file_header(header, bytes);
    return new_file.patch(0, bytes, sizeof bytes);
}

}  // namespace datmend
