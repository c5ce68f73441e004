// Temporary files are listed by folder descriptor and name, so that they are removed from the
// folder they were made in whatever that folder is called by then.
#include "outputs/temporaries.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <string_view>

#include "outputs/signals.hpp"

namespace datmend {

namespace {

constexpr std::string_view kSuffix = ".datmend-";
constexpr std::size_t kRandomLength = 6;

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

}  // namespace

std::string hidden_name_for(const std::string& entry) {
    const std::size_t room = NAME_MAX - 1 - kSuffix.size() - kRandomLength;
    return "." + entry.substr(0, room) + std::string(kSuffix) + random_letters();
}

// Made and listed with the fatal signals held, so that a signal finds it listed once it exists.
int create_temporary(const SystemCalls& calls, int folder, const std::string& entry, mode_t mode,
                     std::string& name) {
    const SignalsHeld held;
    for (int tries = 0; tries < 100; ++tries) {
        name = hidden_name_for(entry);
        const int fd =
            calls.openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 && !list_temporary(folder, name.c_str())) {
            unlinkat(folder, name.c_str(), 0);
            ::close(fd);
            errno = EMFILE;  // more outputs than the list has room for
            return -1;
        }
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

void remove_temporary(int folder, const std::string& name) {
    const SignalsHeld held;
    unlinkat(folder, name.c_str(), 0);
    unlist_temporary(folder, name.c_str());
}

void forget_temporary(int folder, const std::string& name) {
    unlist_temporary(folder, name.c_str());
}

}  // namespace datmend
