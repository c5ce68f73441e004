// The outputs' names changed as one unit, once every output is complete: either every name
// leads to its new file, or, after any failure, every name leads to what it held before, but
// for a name that could not be changed back, whose file then tells what keeps what it held.
#pragma once

#include <span>

#include "io/writer.hpp"
#include "outputs/output_file.hpp"

namespace datmend {

// Puts each complete output that has a temporary file in place of its name, in order, then
// syncs their folders; after a failure, undoes the names already changed and names the output
// that failed. Only once every name has changed is what the names held removed, and every file
// settled. The fatal signals are held off from here to the end of the process.
WriteFailure commit_outputs(std::span<OutputFile* const> files);

}  // namespace datmend
