// What a fatal signal must not leave behind: the temporary files beside the outputs' names, which
// must never outlive the run, and the files written in place once they have been emptied, which
// must never look whole after a run that did not complete. Every catchable signal whose default
// action ends the process (but SIGPIPE and SIGXFSZ, which the tool ignores so that a write past
// them fails and is told) removes the one and empties the other, then ends the process as it
// would have; from the first name change on, those signals are held off to the end of the run.
// The lists of them, which a signal handler must reach and nothing else can, are the one state
// of the tool that is not passed around.
#pragma once

#include <signal.h>

#include <cstddef>

namespace datmend {

// Holds the fatal signals off while it lives, as a list and the folders are brought to agree.
class SignalsHeld {
  public:
    SignalsHeld();
    ~SignalsHeld();
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

  private:
    sigset_t before_;
};

// Has every such signal clean up before it ends the process, but one that was ignored when the
// tool started (as nohup and a background job in a script ask), which stays ignored, and one
// that already has a handler (a sanitizer's).
void clean_up_on_fatal_signals();

// Lists the temporary file name (at most NAME_MAX bytes) in folder, a descriptor, for a signal to
// remove; false when the list is full. unlist_temporary() takes it off again.
bool list_temporary(int folder, const char* name);
void unlist_temporary(int folder, const char* name);

// Lists fd, a regular file written in place and emptied, for a signal to empty again; false when
// the list is full. unlist_emptied() takes it off again, before fd is closed.
bool list_emptied(int fd);
void unlist_emptied(int fd);

// The one hook for others: has a fatal signal write the n bytes at text (which must stay there)
// to fd before the process ends, as a status line on the terminal needs to be erased; n 0 for
// nothing.
void write_on_fatal_signal(int fd, const char* text, std::size_t n);

// Holds the fatal signals off for the rest of the process: from the moment the names start to
// change, the run either completes or is undone, and a signal then changes nothing.
void hold_fatal_signals();

}  // namespace datmend
