// The handler calls only write(2), unlinkat(2), ftruncate(2) and raise(3), which a signal handler
// may; the lists change only with the fatal signals blocked, so that the handler never sees one
// half changed.
#include "outputs/signals.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <csignal>
#include <cstring>

namespace datmend {

namespace {

struct Listed {
    int folder = -1;  // -1 where the slot is free
    std::array<char, NAME_MAX + 1> name{};
};

// Room for the temporary files of every output the table may hold, and to spare.
std::array<Listed, 8> g_temporaries;
std::array<int, 8> g_emptied = {-1, -1, -1, -1, -1, -1, -1, -1};

// What to write before the process ends: a status line's eraser.
struct LastWords {
    int fd = -1;
    const char* text = nullptr;
    std::size_t n = 0;
};
LastWords g_last_words;

extern "C" void clean_up_and_end(int signal) {
    if (g_last_words.n > 0 && write(g_last_words.fd, g_last_words.text, g_last_words.n) < 0) {
        // Nothing more can be done in a signal handler.
    }
    for (const Listed& listed : g_temporaries) {
        if (listed.folder >= 0) {
            unlinkat(listed.folder, listed.name.data(), 0);
        }
    }
    for (const int fd : g_emptied) {
        if (fd >= 0 && ftruncate(fd, 0) != 0) {
            // As above.
        }
    }
    // The handler was reset to the default: raised again, the signal ends the process as it
    // would have, once this handler returns.
    raise(signal);
}

// Every signal whose default action ends the process, but those the tool ignores and the two
// that cannot be caught.
sigset_t fatal_signals() {
    sigset_t fatal;
    sigemptyset(&fatal);
    for (const int signal : {SIGHUP,  SIGINT,    SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,
                             SIGFPE,  SIGUSR1,   SIGSEGV, SIGUSR2, SIGALRM, SIGTERM, SIGSTKFLT,
                             SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSYS}) {
        sigaddset(&fatal, signal);
    }
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
        sigaddset(&fatal, signal);
    }
    return fatal;
}

}  // namespace

SignalsHeld::SignalsHeld() {
    const sigset_t fatal = fatal_signals();
    sigprocmask(SIG_BLOCK, &fatal, &before_);
}

SignalsHeld::~SignalsHeld() {
    sigprocmask(SIG_SETMASK, &before_, nullptr);
}

void clean_up_on_fatal_signals() {
    const sigset_t fatal = fatal_signals();
    struct sigaction action {};
    action.sa_handler = clean_up_and_end;
    action.sa_flags = static_cast<int>(SA_RESETHAND);
    action.sa_mask = fatal;  // one clean-up at a time
    for (int signal = 1; signal < NSIG; ++signal) {
        struct sigaction before {};
        if (sigismember(&fatal, signal) == 1 && sigaction(signal, nullptr, &before) == 0 &&
            before.sa_handler == SIG_DFL) {
            sigaction(signal, &action, nullptr);
        }
    }
}

bool list_temporary(int folder, const char* name) {
    const SignalsHeld held;
    for (Listed& slot : g_temporaries) {
        if (slot.folder < 0) {
            std::strncpy(slot.name.data(), name, NAME_MAX);
            slot.folder = folder;
            return true;
        }
    }
    return false;
}

void unlist_temporary(int folder, const char* name) {
    const SignalsHeld held;
    for (Listed& slot : g_temporaries) {
        if (slot.folder == folder && std::strcmp(slot.name.data(), name) == 0) {
            slot.folder = -1;
            return;
        }
    }
}

bool list_emptied(int fd) {
    const SignalsHeld held;
    for (int& slot : g_emptied) {
        if (slot < 0) {
            slot = fd;
            return true;
        }
    }
    return false;
}

void unlist_emptied(int fd) {
    const SignalsHeld held;
    for (int& slot : g_emptied) {
        if (slot == fd) {
            slot = -1;
            return;
        }
    }
}

void write_on_fatal_signal(int fd, const char* text, std::size_t n) {
    const SignalsHeld held;
    g_last_words = {fd, text, n};
}

void hold_fatal_signals() {
    const sigset_t fatal = fatal_signals();
    sigprocmask(SIG_BLOCK, &fatal, nullptr);
}

}  // namespace datmend
