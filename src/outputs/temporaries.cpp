// Temporary files are listed by folder descriptor and name, so that they are removed from the
// folder they were made in whatever that folder is called by then; the handler only calls
// unlinkat(2) and raise(3), which a signal handler may.
#include "outputs/temporaries.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>

namespace datmend {

namespace {

constexpr std::string_view kSuffix = ".datmend-";
constexpr std::size_t kRandomLength = 6;

struct Listed {
    int folder = -1;  // -1 where the slot is free
    std::array<char, NAME_MAX + 1> name{};
};

// Two outputs, each with its temporary file, and room to spare.
std::array<Listed, 4> g_temporaries;

// What to write before the process ends: a status line's eraser.
struct LastWords {
    int fd = -1;
    const char* text = nullptr;
    std::size_t n = 0;
};
LastWords g_last_words;

extern "C" void remove_temporaries_and_end(int signal) {
    if (g_last_words.n > 0 && write(g_last_words.fd, g_last_words.text, g_last_words.n) < 0) {
        // Nothing more can be done in a signal handler.
    }
    for (const Listed& listed : g_temporaries) {
        if (listed.folder >= 0) {
            unlinkat(listed.folder, listed.name.data(), 0);
        }
    }
    // The handler was reset to the default: raised again, the signal ends the process as it
    // would have, once this handler returns.
    raise(signal);
}

sigset_t fatal_signals() {
    sigset_t fatal;
    sigemptyset(&fatal);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&fatal, signal);
    }
    return fatal;
}

// Blocks the fatal signals while the list and the folders disagree.
class SignalsHeld {
  public:
    SignalsHeld() {
        const sigset_t fatal = fatal_signals();
        sigprocmask(SIG_BLOCK, &fatal, &before_);
    }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &before_, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

  private:
    sigset_t before_;
};

// Random letters and digits; where the system has no randomness to give, the clock's.
std::string random_letters() {
    static constexpr char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[kRandomLength];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        auto seed = static_cast<unsigned long>(now.tv_nsec) ^ static_cast<unsigned long>(getpid());
        for (unsigned char& b : bytes) {
            seed = seed * 6364136223846793005ul + 1442695040888963407ul;
            b = static_cast<unsigned char>(seed >> 56);
        }
    }
    std::string letters;
    for (const unsigned char b : bytes) {
        letters += kLetters[b % (sizeof kLetters - 1)];
    }
    return letters;
}

void list(int folder, const std::string& name) {
    for (Listed& slot : g_temporaries) {
        if (slot.folder < 0) {
            std::memcpy(slot.name.data(), name.c_str(), name.size() + 1);
            slot.folder = folder;
            return;
        }
    }
}

void unlist(int folder, const std::string& name) {
    for (Listed& slot : g_temporaries) {
        if (slot.folder == folder && name == slot.name.data()) {
            slot.folder = -1;
            return;
        }
    }
}

}  // namespace

std::string hidden_name_for(const std::string& entry) {
    const std::size_t room = NAME_MAX - 1 - kSuffix.size() - kRandomLength;
    return "." + entry.substr(0, room) + std::string(kSuffix) + random_letters();
}

int create_temporary(const SystemCalls& calls, int folder, const std::string& entry, mode_t mode,
                     std::string& name) {
    const SignalsHeld held;
    for (int tries = 0; tries < 100; ++tries) {
        name = hidden_name_for(entry);
        const int fd =
            calls.openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            list(folder, name);
            return fd;
        }
        if (errno != EEXIST) {
            return -1;
        }
    }
    return -1;
}

void remove_temporary(int folder, const std::string& name) {
    const SignalsHeld held;
    unlinkat(folder, name.c_str(), 0);
    unlist(folder, name);
}

void forget_temporary(int folder, const std::string& name) {
    const SignalsHeld held;
    unlist(folder, name);
}

void remove_temporaries_on_fatal_signals() {
    struct sigaction action {};
    action.sa_handler = remove_temporaries_and_end;
    action.sa_flags = static_cast<int>(SA_RESETHAND);
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction before {};
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) {
            sigaction(signal, &action, nullptr);
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
