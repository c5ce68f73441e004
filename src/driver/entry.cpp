// Run order: command line, the three files, the header block, the walk and the copy loop, the
// summary. Everything that could harm the user's files is refused before an output file is
// created, and a report that could not be written is a failure, told once the files are complete.
#include "driver/entry.hpp"

#include <cerrno>
#include <cstdio>
#include <new>

#include "driver/command_line.hpp"
#include "driver/descriptors.hpp"
#include "driver/exit_status.hpp"
#include "driver/failure.hpp"
#include "driver/files.hpp"
#include "driver/header_block.hpp"
#include "driver/summary.hpp"
#include "writer/commit.hpp"
#include "writer/temporaries.hpp"

namespace datmend {

namespace {

// "<label><name>\n", written as it is: a name of any length costs no memory.
void print_name(Writer& out, const char* label, const std::string& name) {
    out.write(label);
    out.write(name.data(), name.size());
    out.write("\n");
}

void print_banner(RunState& state) {
    Writer& out = state.report;
    out.write("VARQ Datmend Utility:\n");
    print_name(out, "              Input Filename = ", state.old_name);
    print_name(out, "             Output Filename = ", state.new_name);
    if (state.has_deleted_file) {
        print_name(out, "    Deleted Records Filename = ", state.deleted_name);
    }
}

// The table of outputs, from the names: the new file, the deleted-records file, and the mapfile,
// which no output may be.
void list_outputs(RunState& state) {
    state.outputs.add(state.new_name, kOldOrNewFileFailed, Output::Kind::patched, *state.calls);
    if (state.has_deleted_file) {
        state.outputs.add(state.deleted_name, kDeletedFileFailed, Output::Kind::streamed,
                          *state.calls);
    }
    if (state.has_map) {
        state.outputs.add(state.map_name, kOldOrNewFileFailed, Output::Kind::guarded, *state.calls);
    }
}

// Everything before the walk: the names refused or passed, the file header judged, the output
// files opened, the header reported and the header block written. Nothing is printed before the
// outputs are open, and a file that is not a data file touches no output. Returns 0, or the exit
// status of a start-up failure.
int start_up(RunState& state) {
    list_outputs(state);
    if (int status = open_damaged_file(state)) {
        return status;
    }
    if (int status = refuse_output_names(state)) {
        return status;
    }
    switch (judge_file_header(state)) {
        case HeaderVerdict::no_header:
            state.report.print("Bad File Header %d\n", 0);
            return kBadFileHeader;
        case HeaderVerdict::refused:
            print_banner(state);
            print_refused_header(state);
            return kRefusedHeader;
        case HeaderVerdict::whole:
        case HeaderVerdict::rebuilt:
            break;
    }
    if (int status = open_output_files(state)) {
        return status;
    }
    print_banner(state);
    report_file_header(state);
    return write_header_block(state);
}

// The outputs completed: the new file's header patched, each flushed, synced, given its owner,
// mode and attributes and closed, and only then every name changed, as one.
WriteFailure finish_outputs(RunState& state) {
    OutputFile& new_file = state.outputs.new_file();
    if (!new_file.writer().flush() || !patch_new_header(state)) {
        return {&new_file.writer(), new_file.error()};
    }
    const std::vector<OutputFile*> files = state.outputs.files();
    for (OutputFile* file : files) {
        if (!file->complete()) {
            return {&file->writer(), file->error()};
        }
    }
    // What the walk printed goes out while a signal may still stop the run; once the names
    // change, only the summary is left to write.
    state.report.flush();
    return commit_outputs(files);
}

// The walk from the first record on, then the output files completed.
WriteFailure write_new_files(RunState& state) {
    const FrameRules rules = frame_rules(state.file_header, state.damaged.physical_eof());
    Walk walk(state.damaged, rules, kHeaderBlockSize, &state.damage);
    const WriteFailure failure = copy_records(walk, state.outputs.new_file().writer(),
                                              state.outputs.deleted_file(), state.counts);
    state.damaged.close();
    return failure ? failure : finish_outputs(state);
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
    switch (parse_command_line(state, argc, argv)) {
        case Request::help:
            print_help(state.report);
            print_options(state.report);
            return report_lost(state) ? kReportLost : kAnswered;
        case Request::version:
            print_version(state.report);
            return report_lost(state) ? kReportLost : kAnswered;
        case Request::wrong:
            print_help(state.report);
            report_lost(state);  // the wrong command line says more than a lost report would
            return kBadCommandLine;
        case Request::salvage:
            break;
    }
    if (int status = start_up(state)) {
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
    remove_temporaries_on_fatal_signals();
    try {
        RunState state;
        if (!output_open) {
            state.report.fail(EBADF);
        }
        return run_datmend(state, argc, argv);
    } catch (const std::bad_alloc&) {
        // The run state is gone, and with it every temporary file.
        std::fputs("datmend: Cannot allocate memory\n", stderr);
        return kOldOrNewFileFailed;
    }
}

}  // namespace datmend
