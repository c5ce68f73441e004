// Run order: command line, the three files, the header block, the walk and the copy loop, the
// summary. Everything that could harm the user's files is refused before an output file is
// created, and a report that could not be written is a failure, told once the files are complete.
#include "driver/entry.hpp"

#include <cerrno>

#include "driver/command_line.hpp"
#include "driver/descriptors.hpp"
#include "driver/exit_status.hpp"
#include "driver/failure.hpp"
#include "driver/files.hpp"
#include "driver/header_block.hpp"
#include "driver/summary.hpp"

namespace datmend {

namespace {

void print_banner(RunState& state) {
    Writer& out = state.report;
    out.write("VARQ Datmend Utility:\n");
    out.print("              Input Filename = %s\n", state.old_name.c_str());
    out.print("             Output Filename = %s\n", state.new_name.c_str());
    if (state.has_deleted_file) {
        out.print("    Deleted Records Filename = %s\n", state.deleted_name.c_str());
    }
}

// Everything before the walk: the files opened (or refused), the header read, reported and
// checked, and the header block written. Returns 0, or the exit status of a start-up failure.
int start_up(RunState& state, int argc, char* argv[]) {
    if (!parse_command_line(state, argc, argv)) {
        print_help(state.report);
        return kBadCommandLine;
    }
    if (int status = open_damaged_file(state)) {
        return status;
    }
    if (int status = refuse_output_names(state)) {
        return status;
    }
    if (int status = open_output_files(state)) {
        return status;
    }
    if (!read_file_header(state)) {
        state.report.print("Bad File Header %d\n", 0);
        return kBadFileHeader;
    }
    print_banner(state);
    print_header_report(state.report, state.file_header);
    if (!check_header(state.report, state.file_header, state.damaged.physical_eof())) {
        return kRefusedHeader;
    }
    return write_header_block(state);
}

// Flushes and closes the output files.
WriteFailure close_outputs(RunState& state) {
    if (!state.new_file.close()) {
        return {WriteFailure::File::new_file, state.new_file.error()};
    }
    if (state.has_deleted_file && !state.deleted_file.close()) {
        return {WriteFailure::File::deleted_file, state.deleted_file.error()};
    }
    return {};
}

// The walk from the first record on, the output files closed and the new file's header patched.
WriteFailure write_new_files(RunState& state) {
    const FrameRules rules = frame_rules(state.file_header, state.damaged.physical_eof());
    Walk walk(state.damaged, rules, kHeaderBlockSize, &state.damage);
    Writer* deleted_file = state.has_deleted_file ? &state.deleted_file.writer() : nullptr;
    WriteFailure failure = copy_records(walk, state.new_file.writer(), deleted_file, state.counts);
    state.damaged.close();
    if (!failure) {
        failure = close_outputs(state);
    }
    if (!failure) {
        failure = patch_new_header(state);
    }
    return failure;
}

// Writes out the rest of the report; true, after saying so on standard error, when some of it
// could not be written.
bool report_lost(RunState& state) {
    if (state.report.flush()) {
        return false;
    }
    report_file_error(state, "standard output", state.report.error(), kReportLost);
    return true;
}

}  // namespace

int run_datmend(RunState& state, int argc, char* argv[]) {
    if (int status = start_up(state, argc, argv)) {
        report_lost(state);  // the start-up status says more than a lost report would
        return status;
    }
    if (WriteFailure failure = write_new_files(state)) {
        report_lost(state);
        return report_write_failure(state, failure);
    }
    print_summary(state);
    return report_lost(state) ? kReportLost : exit_status_for(state.damage.error_count);
}

int datmend_main(int argc, char* argv[]) {
    const bool output_open = set_up_standard_descriptors();
    RunState state;
    if (!output_open) {
        state.report.fail(EBADF);
    }
    return run_datmend(state, argc, argv);
}

}  // namespace datmend
