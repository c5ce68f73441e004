// The table of a run's files: its entries and lookups over them.
#include "outputs/outputs.hpp"

#include <algorithm>

namespace datmend {

void Outputs::add(std::string name, Output::Kind kind, int status) {
    entries_.emplace_back(std::move(name), kind, status, calls_);
}

void Outputs::plan() {
    for (Output& entry : entries_) {
        entry.target = resolve_target(entry.name);
    }
}

Output* Outputs::find(Output::Kind kind) {
    const auto it = std::find_if(entries_.begin(), entries_.end(),
                                 [kind](const Output& entry) { return entry.kind == kind; });
    return it == entries_.end() ? nullptr : &*it;
}

std::vector<OutputFile*> Outputs::files() {
    std::vector<OutputFile*> files;
    for (Output& entry : entries_) {
        if (entry.written()) {
            files.push_back(&entry.file);
        }
    }
    return files;
}

const Output& Outputs::failed(const WriteFailure& failure) const {
    return *std::find_if(entries_.begin(), entries_.end(), [&](const Output& entry) {
        return &entry.file.writer() == failure.writer;
    });
}

}  // namespace datmend
