// The table of outputs: lookups over its entries.
#include "outputs/outputs.hpp"

#include <algorithm>

#include "driver/exit_status.hpp"

namespace datmend {

Outputs::Outputs(const Names& names, const SystemCalls& calls) {
    entries_.emplace_back(names.new_file, kOldOrNewFileFailed, Output::Kind::patched, calls);
    if (names.deleted_file) {
        entries_.emplace_back(*names.deleted_file, kDeletedFileFailed, Output::Kind::streamed,
                              calls);
    }
    if (names.mapfile) {
        entries_.emplace_back(*names.mapfile, kOldOrNewFileFailed, Output::Kind::guarded, calls);
    }
}

Writer* Outputs::deleted_file() {
    for (Output& output : entries_) {
        if (output.kind == Output::Kind::streamed) {
            return &output.file.writer();
        }
    }
    return nullptr;
}

std::vector<OutputFile*> Outputs::files() {
    std::vector<OutputFile*> files;
    for (Output& output : entries_) {
        if (output.kind != Output::Kind::guarded) {
            files.push_back(&output.file);
        }
    }
    return files;
}

const Output& Outputs::failed(const WriteFailure& failure) const {
    return *std::find_if(entries_.begin(), entries_.end(), [&](const Output& output) {
        return &output.file.writer() == failure.writer;
    });
}

}  // namespace datmend
