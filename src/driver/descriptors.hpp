// The process's standard descriptors and the signals that would end it mid-write, set up before
// anything else is done.
#pragma once

namespace datmend {

// Gives each closed standard descriptor /dev/null, so that no data file can get one of them and
// have the report written into it, and ignores SIGPIPE and SIGXFSZ, so that a report whose reader
// has gone or that passes the file-size limit is a lost report, found by the write that fails,
// and not the end of the process before the new file is complete; an output file past the limit
// is a failed write. Returns false when standard output was closed.
bool set_up_standard_descriptors();

}  // namespace datmend
