// Run order: command line, the three files, the header block, the walk and the copy loop, the
// outputs committed, the summary. Everything that could harm the user's files is refused before
// an output file is created, and a report that could not be written is a failure, told once the
// files are complete. Each step is handed what it reads and returns what it found; only the
// damaged file and the report live for the whole run.
#include "driver/entry.hpp"

#include <algorithm>
#include <cerrno>
#include <new>
#include <optional>
#include <vector>

#include "driver/command_line.hpp"
#include "driver/descriptors.hpp"
#include "driver/exit_status.hpp"
#include "driver/failure.hpp"
#include "driver/files.hpp"
#include "driver/header_block.hpp"
#include "driver/sinks.hpp"
#include "driver/status_line.hpp"
#include "outputs/commit.hpp"
#include "outputs/outputs.hpp"
#include "outputs/signals.hpp"
#include "report/lost_map.hpp"
#include "report/report.hpp"
#include "salvage/header_judgement.hpp"
#include "salvage/walk.hpp"
#include "writer/copy.hpp"

namespace datmend {

namespace {

// Where a run speaks: the report on standard output, the failure lines on standard error.
struct Console {
    Writer report;
    std::FILE* err;
};

// Writes out the rest of the report; true, after saying so on standard error, when some of it
// could not be written.
bool report_lost(Console& console) {
    if (console.report.flush()) {
        return false;
    }
    report_file_error(console.err, "standard output", console.report.error(), kReportLost);
    return true;
}

// A start-up failure's status, which says more than a lost report would.
int stop(Console& console, int status) {
    report_lost(console);
    return status;
}

// The answer to --help, --version or a command line that names no salvage. What is wrong with a
// command line is told on standard error, so that a script can tell it from a salvage's status.
int answer(Console& console, const CommandLine& line) {
    switch (line.request) {
        case Request::help:
            print_help(console.report);
            print_options(console.report);
            break;
        case Request::version:
            print_version(console.report);
            break;
        case Request::wrong_count: {
            print_help(console.report);
            const int status = stop(console, kBadCommandLine);
            std::fprintf(
                console.err,
                "datmend: 2 or 3 file names expected (old_file new_file [ del-rec_file ]), "
                "%zu given; try 'datmend --help'\n",
                line.names_given);
            return status;
        }
        case Request::bad_option:
            if (!line.problem.empty()) {
                std::fprintf(console.err, "datmend: %s\n", line.problem.c_str());
            }
            std::fputs("Try 'datmend --help' for more information.\n", console.err);
            return kBadCommandLine;
        case Request::salvage:
            break;
    }
    return report_lost(console) ? kReportLost : kAnswered;
}

// The room a dry run's writers take: that of the longest record, which the copy loop takes whole.
constexpr std::size_t kDryBufferSize = std::size_t{128} << 10;

// Where the records go: the outputs' writers, or in a dry run, writers that count what they are
// given and keep none of it. The deleted records' data goes nowhere in a dry run.
struct Destinations {
    Destinations(Outputs& outputs, bool dry_run) {
        if (dry_run) {
            new_file = &discarded.emplace(kDryBufferSize, -1, discarding_write_calls());
            return;
        }
        new_file = &outputs.find(Output::Kind::patched)->file.writer();
        if (Output* deleted = outputs.find(Output::Kind::streamed)) {
            deleted_file = &deleted->file.writer();
        }
    }
    bool dry() const { return discarded.has_value(); }

    std::optional<Writer> discarded;
    Writer* new_file = nullptr;
    Writer* deleted_file = nullptr;
};

// The outputs completed: the new file's header patched (but in a dry run, which has none), each
// flushed, given its owner, mode and attributes and synced, then each closed, and only then
// every name changed, as one.
WriteFailure finish_outputs(Outputs& outputs, const FileHeader& header, std::uint32_t new_eof,
                            bool dry_run, Writer& report) {
    if (!dry_run) {
        OutputFile& new_file = outputs.find(Output::Kind::patched)->file;
        if (!new_file.writer().flush() || !patch_new_header(new_file, header, new_eof)) {
            return {&new_file.writer(), new_file.error()};
        }
    }
    const std::vector<OutputFile*> files = outputs.files();
    for (OutputFile* file : files) {
        if (!file->complete()) {
            return {&file->writer(), file->error()};
        }
    }
    for (OutputFile* file : files) {
        if (!file->close()) {
            return {&file->writer(), file->error()};
        }
    }
    // What the walk printed goes out while a signal may still stop the run; once the names
    // change, only the summary is left to write.
    report.flush();
    return commit_outputs(files);
}

// The walk from the first record under header, repairing records where asked to, every record
// disposed of to to and every finding told to sinks; then the status line finished, the lost map
// ended, and the outputs completed and committed. The summary's results go to results. Returns
// the first write that failed.
WriteFailure write_new_files(DamagedFile& file, const FileHeader& header, bool repair,
                             Outputs& outputs, Destinations& to, Sinks& sinks, LostMap* lost_map,
                             Writer& report, Results& results) {
    Walk walk(file, frame_rules(header, file.physical_eof()), kHeaderBlockSize, &sinks);
    if (repair) {
        walk.repair_records();
    }
    const WriteFailure failure = copy_records(walk, *to.new_file, to.deleted_file, sinks);
    sinks.finish_status_line();
    if (lost_map != nullptr) {
        lost_map->finish();
    }
    file.close();
    results = sinks.counted();
    results.unreadable_bytes +=
        file.unreadable_in(0, std::min(kHeaderBlockSize, file.physical_eof()));
    results.physical_eof = file.physical_eof();
    results.new_eof = static_cast<std::uint32_t>(to.new_file->written());
    if (failure) {
        return failure;
    }
    return finish_outputs(outputs, header, results.new_eof, to.dry(), report);
}

// The salvage of the files names gives; every finding goes to also too, when given.
int salvage(const Surroundings& around, const Names& names, Console& console) {
    DamagedFile file;
    if (around.read) {
        file.set_read_function(around.read);
    }
    Outputs outputs = plan_files(names, *around.calls);
    const int report_fd = console.report.descriptor();
    if (int status = open_damaged_file(outputs, file, report_fd, console.err)) {
        return stop(console, status);
    }
    if (int status = refuse_output_names(outputs, file, report_fd, console.err)) {
        return stop(console, status);
    }
    const Banner banner{names.old_file, names.new_file, names.deleted_file,
                        names.quiet     ? DumpRows::none
                        : names.squeeze ? DumpRows::squeezed
                                        : DumpRows::all,
                        names.dry_run};
    Report report(console.report, banner, file);
    // From here on a long run shows where it is, from the slow first reads of a failing disk on;
    // the line is taken away while anything else may be written to standard error.
    StatusLine status_line(fileno(console.err), file.physical_eof(), report_fd);
    Output* const lost = outputs.find(Output::Kind::lost_map);
    std::optional<LostMap> lost_map;
    if (lost != nullptr) {
        lost_map.emplace(lost->file.writer(), names.typed, file.physical_eof());
    }
    Sinks sinks(file, report, status_line, lost_map ? &*lost_map : nullptr, around.also);
    // Nothing is printed before the outputs are open, and a file that is not a data file touches
    // no output.
    const HeaderJudgement judgement = judge_file_header(file, &sinks);
    status_line.erase();
    if (judgement.verdict == HeaderVerdict::no_header ||
        judgement.verdict == HeaderVerdict::refused) {
        sinks.finish_status_line();
        sinks.header(judgement);
        const int status =
            judgement.verdict == HeaderVerdict::no_header ? kBadFileHeader : kRefusedHeader;
        stop(console, status);
        return report_not_a_data_file(console.err, names.old_file,
                                      why_not_a_data_file(judgement, file.physical_eof()), status);
    }
    if (int status = open_output_files(outputs, file, names.dry_run, console.err)) {
        return stop(console, status);
    }
    sinks.header(judgement);
    if (judgement.verdict == HeaderVerdict::rebuilt) {
        sinks.discarded(
            {0, kFileHeaderSize - 1, Diagnosis{}, file.unreadable_in(0, kFileHeaderSize)});
    }
    Destinations to(outputs, names.dry_run);
    if (!write_header_block(*to.new_file, file, judgement.header)) {
        sinks.finish_status_line();
        return stop(console, report_write_failure(console.err, outputs,
                                                  {to.new_file, to.new_file->error()}));
    }
    Results results;
    if (WriteFailure failure =
            write_new_files(file, judgement.header, names.repair, outputs, to, sinks,
                            lost_map ? &*lost_map : nullptr, console.report, results)) {
        report_lost(console);
        return report_write_failure(console.err, outputs, failure);
    }
    report.summary(results);
    return report_lost(console) ? kReportLost : exit_status_for(results.error_count);
}

}  // namespace

int run_datmend(const Surroundings& around, int argc, char* argv[]) {
    Console console{Writer(kReportBufferSize, around.report_fd), around.err};
    if (around.report_errnum != 0) {
        console.report.fail(around.report_errnum);
    }
    const CommandLine line = parse_command_line(argc, argv);
    if (line.request != Request::salvage) {
        return answer(console, line);
    }
    return salvage(around, line.names, console);
}

int datmend_main(int argc, char* argv[]) {
    Surroundings around;
    if (!set_up_standard_descriptors()) {
        around.report_errnum = EBADF;
    }
    clean_up_on_fatal_signals();
    try {
        return run_datmend(around, argc, argv);
    } catch (const std::bad_alloc&) {
        // The run is gone, and with it every temporary file.
        std::fputs("datmend: Cannot allocate memory\n", stderr);
        return kOldOrNewFileFailed;
    }
}

}  // namespace datmend
