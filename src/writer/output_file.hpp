// A file the tool writes. A regular file, or a name not yet taken, is written to a temporary file
// created beside it and takes the name only once complete, so that a failed or interrupted run
// leaves the name as it was; anything else (a device, a pipe) is written in place. Writes go
// through one large buffer. Every call returns false once anything has failed; error() then
// holds the errno, for the caller to report.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "io/writer.hpp"
#include "writer/target.hpp"

namespace datmend {

class OutputFile {
  public:
    static constexpr std::size_t kBufferSize = std::size_t{1} << 20;

    OutputFile() : writer_(kBufferSize) {}
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile() { discard(); }

    // Opens name for writing; false with errno set. A file it creates gets the permission bits
    // of mode, less the umask; a file it replaces keeps its own mode, owner and group.
    bool open(const std::string& name, mode_t mode);

    Writer& writer() { return writer_; }
    bool in_place() const { return temporary_.empty(); }

    // Writes n bytes at offset of the file, past the buffer: flush first.
    bool patch(std::uint64_t offset, const void* bytes, std::size_t n);
    // Flushes, and syncs a file that is to take its name.
    bool finish();
    // Closes the file, giving a temporary file its final mode and its name, and syncs the folder.
    bool put_in_place();
    // Closes the file; a temporary file is removed, and a regular file written in place, which
    // can no longer be whole, is emptied. Nothing is reported.
    void discard();
    int error() const { return writer_.error(); }

  private:
    bool fail(int errnum);

    Writer writer_;
    OutputTarget target_;
    std::string temporary_;  // the temporary file's path; empty when written in place
    mode_t final_mode_ = 0;
    uid_t owner_ = static_cast<uid_t>(-1);  // of the file replaced; -1 to leave as created
    gid_t group_ = static_cast<gid_t>(-1);
};

// Has SIGINT, SIGTERM and SIGHUP remove the temporary files before they end the process, as they
// would have without it.
void remove_temporaries_on_fatal_signals();

}  // namespace datmend
