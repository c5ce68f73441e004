// The files of a run in one table, each name resolved once: the damaged file and the mapfile,
// which are read and which no output may be, and the outputs, each with the file written. The
// refusals, the opening, the commit, the clean-up and the failure messages loop over it: a
// further output is one more entry, with its exit status.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "io/writer.hpp"
#include "outputs/output_file.hpp"
#include "outputs/system_calls.hpp"
#include "outputs/target.hpp"

namespace datmend {

struct Output {
    enum class Kind {
        damaged,   // read: the damaged file
        map,       // read: the rescued copy's map
        patched,   // written, then patched at its start: not a pipe
        streamed,  // only written straight through: may be a pipe
        lost_map,  // the map of what the salvage lost, written straight through
    };

    Output(std::string name_, Kind kind_, int status_, const SystemCalls& calls)
        : name(std::move(name_)),
          kind(kind_),
          status(status_),
          file(calls, written() ? OutputFile::kBufferSize : 0) {}

    // An output: a file the run writes.
    bool written() const {
        return kind == Kind::patched || kind == Kind::streamed || kind == Kind::lost_map;
    }

    std::string name;  // as given
    Kind kind;
    int status;       // the exit status when it is refused or fails, as the driver chose it
    Target target;    // where the name leads, once planned
    OutputFile file;  // open only for an output
};

class Outputs {
  public:
    // An empty table, its outputs to be written through calls.
    explicit Outputs(const SystemCalls& calls) : calls_(calls) {}

    // One more entry, after those before it: the refusals are made in the table's order, and an
    // output is compared with every entry before it and with every file read after it.
    void add(std::string name, Output::Kind kind, int status);
    // Resolves every name, once.
    void plan();

    auto begin() { return entries_.begin(); }
    auto end() { return entries_.end(); }
    auto begin() const { return entries_.begin(); }
    auto end() const { return entries_.end(); }

    // The first entry of kind; nullptr when there is none.
    Output* find(Output::Kind kind);
    // The files written, in order.
    std::vector<OutputFile*> files();
    // The entry of the output whose write failed.
    const Output& failed(const WriteFailure& failure) const;

  private:
    const SystemCalls& calls_;
    std::deque<Output> entries_;  // entries never move: each holds its descriptors and a file
};

}  // namespace datmend
