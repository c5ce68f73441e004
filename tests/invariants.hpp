// Properties every salvage must have, whatever the damaged file holds and however the disk
// fails. Shared by the tests and the fuzz target; nothing here holds a whole report in memory,
// so that the fuzz target's bound on allocations measures the tool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "faulty_disk.hpp"
#include "outputs/system_calls.hpp"
#include "recipe.hpp"
#include "salvage/damaged_file.hpp"
#include "salvage/findings.hpp"

namespace testkit {

// The argument vector of a program's words, for exec and for an in-process run: pointers into
// words, ended by a null pointer.
std::vector<char*> argv_of(std::vector<std::string>& words);

// Sets the times of the file at path to a day long past, as a damaged file's are by the time it
// is salvaged: an existing output of the same bytes and the same second would be taken for it.
void age(const std::string& path);

// Everything written to the descriptor fd so far, read from its start.
std::string read_all(int fd);

// One row of a dump as the tool must print it, newline included: n bytes (n <= 16) at index
// within the stretch, lost marking (where given) those that could not be read.
std::string dump_row(const std::uint8_t* bytes, const std::uint8_t* lost, std::uint32_t n,
                     std::uint32_t index);

// A block of a GNU ddrescue mapfile: where it starts, its size, its status.
struct Block {
    std::uint64_t pos;
    std::uint64_t size;
    char status;
    bool operator==(const Block&) const = default;
};

// The blocks of the mapfile at path, after its status line; a line that is no block as status !.
std::vector<Block> read_map(const std::string& path);

// The tests' accounting of a salvage, from its findings: every byte of the damaged file after
// the header block is in a run of records or a discarded stretch. Passes every finding on to
// also, when given.
struct Accounting final : datmend::Findings {
    std::uint64_t bytes = 0;   // of the record runs and the stretches, framing included
    std::uint32_t errors = 0;  // stretches and repaired records, as the summary counts them
    std::uint32_t active = 0;  // records copied
    bool header_rebuilt = false;
    datmend::Findings* also = nullptr;

    void header(const datmend::HeaderJudgement& judgement) override;
    void records(const datmend::RecordRun& run) override;
    void discarded(const datmend::Stretch& stretch) override;
    void repaired(const datmend::RepairedRecord& record) override;
    void reached(std::uint32_t offset) override;
};

// One run of the tool in-process, with what the checker needs of its state.
struct InProcessRun {
    int status = 0;
    std::string report;           // standard output, then standard error; "" when not kept
    std::uint64_t accounted = 0;  // bytes of all records met, with framing, plus dumped bytes
    std::uint32_t errors = 0;
    std::uint32_t active = 0;
    bool header_rebuilt = false;
};

// Runs the tool on these file names (without the program's name); the damaged file is read
// through read when it is given, as through a failing disk, and the outputs are written through
// calls when they are given. The report goes to report_fd when it is given (and is not kept),
// else into the result.
InProcessRun salvage(const std::vector<std::string>& names,
                     const datmend::DamagedFile::ReadFunction& read = {}, int report_fd = -1,
                     const datmend::SystemCalls* calls = nullptr);

// Salvages dir/old.dat in-process in the folder dir, through disk when it is given, with and
// without a deleted-records file, then salvages the new file again, and returns a description
// of the first broken property, or "" when all hold:
// - the damaged file is not modified; a short file header, or one of an unknown organization
//   under the right version, stops the run with status 4 or 9, as may a damaged one (unreadable,
//   or of another version) but no other, and such a run leaves the new file as it was;
// - the exit status is the number of dumps, capped;
// - every byte after the header block is copied, dropped as a record, or dumped;
// - every dump shows the file's bytes, and "??" exactly where they could not be read, and the
//   summary counts every unreadable byte, and no sector found unreadable is read again;
// - the new file's eof_address is its size, its freelist is empty, its records are 0, 1, 2...;
// - the new file is clean: salvaged again it gives no errors, no warning, the same bytes.
// - when all_active is given, the salvage copies that many active records: all of them.
// With repair, every run is with -r, which counts each record repaired as a file error.
std::string check_salvage(const std::string& dir, FaultyDisk* disk = nullptr,
                          std::optional<std::uint32_t> all_active = std::nullopt,
                          bool repair = false);

// Salvages dir/old.dat with -r as check_salvage does, with the same properties, and then:
// - every record the run without -r copies is copied with it too, in order, unless it lies
//   inside a record repaired (record-shaped bytes of its data, where the scan landed);
// - every active record repaired is copied with the file's bytes at that record as its data.
std::string check_repair(const std::string& dir, FaultyDisk* disk = nullptr);

// How many active records a salvage of the recipe's file at path must copy, all of them, when
// its records are all intact, nothing but its file header is damaged, and the header is not
// that of another kind of file nor one of fixed length that some of its records agree with;
// nullopt when there is no such promise.
std::optional<std::uint32_t> every_active_record(const datgen::Expanded& expanded,
                                                 const std::string& path);

// The same for a damaged file given as bytes, on a healthy disk.
std::string check_salvage(const std::uint8_t* data, std::size_t size, const std::string& dir);

}  // namespace testkit
