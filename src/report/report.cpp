// Every text of the report, as it has always been printed: labels right-aligned so that "="
// stands in column 30, counts and offsets in signed decimal (2^31 up shows negative), several
// diagnoses without a final newline, running on into what follows them. The messages printed
// once per damaged record are formatted in place, each into room for the longest of them.
#include "report/report.hpp"

#include "io/text.hpp"
#include "report/dump.hpp"

namespace datmend {

namespace {

// Room for the longest message printed per damaged record: the trailer's, 132 bytes with three
// numbers of 11.
constexpr std::size_t kLongestMessage = 160;

std::int32_t as_printed(std::uint32_t n) {
    return static_cast<std::int32_t>(n);
}

// "<label><name>\n", written as it is: a name of any length costs no memory.
void print_name(Writer& out, const char* label, const std::string& name) {
    out.write(label);
    out.write(name.data(), name.size());
    out.write("\n");
}

void print_banner(Writer& out, const Banner& names) {
    out.write("VARQ Datmend Utility:\n");
    print_name(out, "              Input Filename = ", names.old_file);
    if (names.new_file) {
        print_name(out, "             Output Filename = ", *names.new_file);
    }
    if (names.deleted_file) {
        print_name(out, "    Deleted Records Filename = ", *names.deleted_file);
    }
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

// "    Offset = <p>, Header Len = <length>" at w, without a newline; returns its end.
char* format_offset_and_length(char* w, std::uint32_t p, std::uint32_t length) {
    w = format_text(w, "    Offset = ");
    w = format_decimal(w, as_printed(p));
    w = format_text(w, ", Header Len = ");
    return format_decimal(w, as_printed(length));
}

// Each diagnosis at w, returning its end. A function each, so that every text is copied with a
// length known where it is compiled.
char* format_unreadable(char* w, std::uint32_t p) {
    w = format_text(w, "\n*** Unreadable Record, Read Error! ***\n    Offset = ");
    w = format_decimal(w, as_printed(p));
    return format_text(w, "\n");
}

char* format_wrong_length(char* w, std::uint32_t p, std::uint32_t length) {
    w = format_text(w, "\n*** Wrong Length in Record Header! ***\n");
    w = format_offset_and_length(w, p, length);
    return format_text(w, "\n");
}

char* format_trailer_mismatch(char* w, std::uint32_t p, std::uint32_t length,
                              std::uint32_t trailer) {
    w = format_text(w, "\n*** Currupt Data, Header does not match Trailer! ***\n");
    w = format_offset_and_length(w, p, length);
    w = format_text(w, ", Trailer Len = ");
    w = format_decimal(w, as_printed(trailer));
    return format_text(w, "\n");
}

// An empty record is damage like any other (a zeroed stretch reads as a chain of them). Its
// message is the data-read failure's, with the offset of the empty data and the bytes left.
char* format_empty(char* w, std::uint32_t p, std::uint32_t physical_eof) {
    w = format_text(w, "\n*** Bad Read on Data Block! ***    Offset = ");
    w = format_decimal(w, as_printed(p + kRecordHeaderSize));
    w = format_text(w, ", Len = ");
    w = format_decimal(w, as_printed(physical_eof - (p + kRecordHeaderSize)));
    return format_text(w, "\n");
}

// The diagnosis why gives, at w; returns its end. A rebuilt file header has none.
char* format_diagnosis(char* w, const Diagnosis& why, std::uint32_t physical_eof) {
    switch (why.fault) {
        case FrameFault::header_past_end:
            return format_text(w, "\n*** Incomplete Record Header at end of file! ***");
        case FrameFault::unreadable:
            return format_unreadable(w, why.offset);
        case FrameFault::wrong_fixed_length:
            return format_wrong_length(w, why.offset, why.length);
        case FrameFault::data_past_end:
            return format_text(w, "\n*** Incomplete Data Record at end of file! ***");
        case FrameFault::trailer_past_end:
            return format_text(w, "\n*** Incomplete Record Trailer at end of file! ***");
        case FrameFault::trailer_mismatch:
            return format_trailer_mismatch(w, why.offset, why.length, why.trailer);
        case FrameFault::empty:
            return format_empty(w, why.offset, physical_eof);
        case FrameFault::none:
            break;
    }
    return w;
}

// A repaired record's line.
constexpr std::size_t kLongestRepair = 80 + kDecimalWidth;

char* format_repair(char* w, std::uint32_t p, bool trailer_wrong) {
    w = format_text(w, "\n*** Record at offset ");
    w = format_decimal(w, as_printed(p));
    return format_text(w, trailer_wrong ? " repaired: trailer did not match its length ***\n"
                                        : " repaired: length did not match its trailer ***\n");
}

}  // namespace

void Report::header(const HeaderJudgement& judgement) {
    const FileHeader& read = judgement.as_read;
    switch (judgement.verdict) {
        case HeaderVerdict::no_header:
            out_.print("Bad File Header %d\n", 0);
            return;
        case HeaderVerdict::refused:
            print_banner(out_, names_);
            print_header_report(out_, read);
            print_failed_check(out_, read);
            return;
        case HeaderVerdict::whole:
        case HeaderVerdict::rebuilt:
            break;
    }
    print_banner(out_, names_);
    if (!judgement.readable) {
        out_.write("\n*** Unreadable File Header, Read Error! ***\n");
    } else {
        print_header_report(out_, read);
        print_failed_check(out_, read);
        const std::uint32_t physical_eof = file_.physical_eof();
        if (static_cast<std::uint32_t>(read.eof_address) != physical_eof) {
            out_.write("\n*** WARNING *** The Physical EOF does not match the file Header!\n");
            out_.print("                  (Physical End of File is at %d)\n",
                       static_cast<int>(physical_eof));
        }
    }
    if (judgement.verdict == HeaderVerdict::rebuilt) {
        out_.write("\n*** Damaged File Header, Rebuilt from the Records! ***\n");
        print_organization(out_, judgement.header);
        print_version(out_, judgement.header);
    }
}

// On a file that is all damage, one is printed for every record.
void Report::discarded(const Stretch& stretch) {
    if (out_.failed()) {
        return;  // nothing more of the report can be written: no need to format it
    }
    char* const start = out_.reserve(kLongestMessage);
    const char* const stop = format_diagnosis(start, stretch.why, file_.physical_eof());
    out_.commit(static_cast<std::size_t>(stop - start));
    print_dump(out_, file_, stretch.first, stretch.last, names_.rows);
}

void Report::repaired(const RepairedRecord& record) {
    char* const start = out_.reserve(kLongestRepair);
    out_.commit(static_cast<std::size_t>(format_repair(start, record.offset, record.trailer_wrong) -
                                         start));
    print_labelled_row(out_, record.offset, record.header.data(), kRecordHeaderSize);
    print_labelled_row(out_, record.offset + kRecordHeaderSize + record.length,
                       record.trailer.data(), kTrailerSize);
}

void Report::summary(const Results& results) {
    out_.write("\nDatmend Completion Information:\n");
    out_.print("      Active Records Copied  = %d\n", static_cast<int>(results.active));
    out_.print(names_.deleted_file ? "     Deleted Records Copied  = %d\n"
                                   : "     Deleted Records Removed = %d\n",
               static_cast<int>(results.deleted));
    out_.print("    Overhead Records Removed = %d\n", static_cast<int>(results.overhead));
    out_.print("           File Errors Found = %d\n", static_cast<int>(results.error_count));
    if (results.repaired != 0) {
        out_.print("            Records Repaired = %d\n", static_cast<int>(results.repaired));
    }
    // Only a failing disk adds this line; every unreadable byte is also inside a dump.
    if (results.unreadable_bytes != 0) {
        out_.print("    Unreadable Bytes Skipped = %d\n",
                   static_cast<int>(results.unreadable_bytes));
    }
    out_.print("       New Eof Seek Location = %d\n", static_cast<int>(results.new_eof));
    out_.print("  Space Allocation Reduction = %d bytes\n",
               static_cast<int>(static_cast<std::int32_t>(results.physical_eof - results.new_eof)));
    out_.write(
        names_.dry_run
            ? "\n*** Dry run: no file was written.\n"
            : "\n*** You MUST create a new '.key' file that matches your new '.dat' file!\n");
}

}  // namespace datmend
