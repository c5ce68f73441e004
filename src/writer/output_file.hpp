// A file the tool writes, through one large buffer so that a record costs a memcpy, not a system
// call. Every call returns false once a write, flush or close has failed; error() then holds the
// failure's errno, for the caller to report.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "io/writer.hpp"

namespace datmend {

class OutputFile {
  public:
    static constexpr std::size_t kBufferSize = std::size_t{1} << 20;

    OutputFile() : writer_(kBufferSize) {}
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();  // closes without reporting; the run has already failed if it gets here open

    // Opens name for writing, created with the permission bits of mode (the umask applying) or
    // truncated; false with errno set on failure.
    bool open(const char* name, mode_t mode);
    // What the file is written through.
    Writer& writer() { return writer_; }
    // Flushes and closes; the file is closed afterwards whatever the result.
    bool close();
    // Closes a file whose first bytes could not be written, emptied if it is a regular file,
    // so that a failed start leaves no half-written file behind.
    void close_empty();
    int error() const { return writer_.error(); }

  private:
    Writer writer_;
};

}  // namespace datmend
