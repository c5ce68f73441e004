// The files a run writes, and the names they may not be, in one table that the refusals, the
// opening, the commit, the clean-up and the failure messages loop over: a further output is one
// more entry, with its exit status.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "driver/command_line.hpp"
#include "io/writer.hpp"
#include "outputs/output_file.hpp"
#include "outputs/system_calls.hpp"
#include "outputs/target.hpp"

namespace datmend {

struct Output {
    enum class Kind {
        patched,   // written, then patched at its start: not a pipe
        streamed,  // only written straight through: may be a pipe
        guarded,   // not written: a name that no output may be (the mapfile)
    };

    Output(std::string name_, int status_, Kind kind_, const SystemCalls& calls)
        : name(std::move(name_)), status(status_), kind(kind_), file(calls) {}

    std::string name;
    int status;  // the exit status when it is refused or fails
    Kind kind;
    OutputTarget target;  // where the name leads, once the names are checked
    OutputFile file;      // open only for an output
};

// In the order of the command line: the new file, the deleted-records file when one is named,
// and the mapfile, which no output may be.
class Outputs {
  public:
    // The table for names, each output to be written through calls.
    Outputs(const Names& names, const SystemCalls& calls);

    auto begin() { return entries_.begin(); }
    auto end() { return entries_.end(); }
    auto begin() const { return entries_.begin(); }
    auto end() const { return entries_.end(); }

    // The new file, always the first entry; the deleted-records file's writer, nullptr when
    // none was named.
    OutputFile& new_file() { return entries_.front().file; }
    Writer* deleted_file();
    // The files written, in order.
    std::vector<OutputFile*> files();
    // The entry of the output whose write failed.
    const Output& failed(const WriteFailure& failure) const;

  private:
    std::deque<Output> entries_;  // entries never move: each holds an open file
};

}  // namespace datmend
