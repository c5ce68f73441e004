// A file the tool writes. A regular file, or a name not yet taken, is written to a temporary file
// created beside it and takes the name only once every output is complete (commit.hpp), so that
// a failed or interrupted run leaves the name as it was; anything else (a device, a pipe), and a
// file in a folder where nothing may be created, is written in place, and a regular file written
// in place is empty again after any run that did not complete. Writes go through one large
// buffer. Every call returns false once anything has failed; error() then holds the errno, for
// the caller to report.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "io/writer.hpp"
#include "outputs/system_calls.hpp"
#include "outputs/target.hpp"

namespace datmend {

class OutputFile {
  public:
    static constexpr std::size_t kBufferSize = std::size_t{1} << 20;

    // A file to write through calls, with a buffer of buffer_size bytes, taken now.
    explicit OutputFile(const SystemCalls& calls = real_system_calls(),
                        std::size_t buffer_size = kBufferSize)
        : calls_(calls), writer_(buffer_size, -1, calls) {}
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile() { discard(); }

    // Opens the file target leads to for writing. Returns 0, or the errno of why it cannot be
    // written; nothing is then created or changed. A file it creates gets the permission bits of
    // mode, less the umask; a file it replaces keeps its owner, group, mode, access ACL and user
    // attributes. A block device is opened exclusively: not while it is mounted or held.
    int open(const Target& target, mode_t mode);

    // Empties a regular file written in place; called once every output is open and has passed
    // the checks, so that a refusal before then leaves it as it was. From then on a fatal signal,
    // or a run that does not complete, empties it again. Returns 0, or the errno.
    int empty_in_place();

    Writer& writer() { return writer_; }
    const Writer& writer() const { return writer_; }
    bool in_place() const { return in_place_; }

    // Writes n bytes at offset of the file, past the buffer: flush first.
    bool patch(std::uint64_t offset, const void* bytes, std::size_t n);
    // Makes the file whole under its temporary name: flushed, given the owner, group, mode and
    // attributes it is to have, and synced. A file written in place is flushed and synced.
    // Nothing is visible under the name yet.
    bool complete();
    // Closes a complete file, as the last step before the names change: a filesystem may only
    // now report that a write failed. A file written in place can still be emptied.
    bool close();
    // The run is complete: the file stays as it is, and nothing of it is removed or emptied.
    void settle();
    // Closes the file; a temporary file is removed, unless it keeps what a name held, and a
    // regular file written in place that has been emptied, which can no longer be whole, is
    // emptied again. Nothing is reported.
    void discard();
    int error() const { return writer_.error(); }
    bool fail(int errnum);

    // For the commit: the folder the name is in, as a descriptor; the name there; the temporary
    // file's name there; a hidden name of its own there, made before the first name changes, for
    // what the name holds where names cannot be exchanged.
    int folder() const { return folder_; }
    const std::string& entry() const { return entry_; }
    const std::string& temporary() const { return temporary_; }
    void name_aside();
    const std::string& aside() const { return aside_; }
    // The name has changed: the temporary name is no longer this file's to remove.
    void release_temporary();
    // The name could not be changed back (errnum): what it held, if anything, is kept under
    // kept, the temporary or the hidden name, which is never removed.
    void not_changed_back(int errnum, const std::string* kept);
    // After a failed commit: why the name could not be changed back, 0 when it was; and the
    // hidden name in its folder that keeps what it held, nullptr when it held nothing.
    int undo_error() const { return undo_errnum_; }
    const std::string* kept_as() const { return kept_; }
    const SystemCalls& calls() const { return calls_; }

  private:
    int open_in_place(const Target& target, mode_t kind);
    void close_folder();
    int read_attributes(const Target& target);
    int read_attributes_of(int fd);
    bool set_owner_and_group(int fd);
    bool set_attributes(int fd);

    const SystemCalls& calls_;
    Writer writer_;
    bool in_place_ = true;
    bool replaces_ = false;  // a temporary file that is to replace an existing file
    // A second descriptor of a regular file written in place, once emptied, by which it can be
    // emptied again after the file is closed; -1 otherwise.
    int emptier_ = -1;
    int folder_ = -1;        // O_PATH descriptor of the name's folder, while it has a temporary
    std::string entry_;      // the name in folder_
    std::string temporary_;  // the temporary file's name in folder_, until it takes the name
    std::string aside_;      // a hidden name in folder_, for the commit
    int undo_errnum_ = 0;
    const std::string* kept_ = nullptr;  // &temporary_ or &aside_, or nullptr
    // Of the file replaced, when replaces_.
    mode_t final_mode_ = 0;
    uid_t owner_ = 0;
    gid_t group_ = 0;
    // The access ACL and user.* attributes of the file replaced, by name.
    std::vector<std::pair<std::string, std::string>> attributes_;
};

}  // namespace datmend
