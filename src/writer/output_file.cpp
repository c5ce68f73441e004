// Temporary files: created exclusively beside the name, synced, given their final mode, renamed
// over the name, and the folder synced. The one state of the tool that is not passed around is
// the list of temporary files for the signal handler, which can reach nothing else.
#include "writer/output_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "io/write_all.hpp"

namespace datmend {

namespace {

// The paths of temporary files not yet in place or removed; "" where a slot is free.
std::array<std::array<char, PATH_MAX>, 4> g_temporaries;

extern "C" void remove_temporaries_and_end(int signal) {
    for (const auto& path : g_temporaries) {
        if (path[0] != '\0') {
            unlink(path.data());
        }
    }
    // The handler was reset to the default: raised again, the signal ends the process as it
    // would have, once this handler returns.
    raise(signal);
}

// Blocks the fatal signals while the list and the file system disagree.
class SignalsHeld {
  public:
    SignalsHeld() {
        sigset_t fatal;
        sigemptyset(&fatal);
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
            sigaddset(&fatal, signal);
        }
        sigprocmask(SIG_BLOCK, &fatal, &before_);
    }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &before_, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

  private:
    sigset_t before_;
};

void forget_temporary(const std::string& path) {
    for (auto& slot : g_temporaries) {
        if (path == slot.data()) {
            slot[0] = '\0';
            return;
        }
    }
}

// Creates a temporary file for target in its folder, named after it, and lists it; -1 with
// errno set when it cannot be created.
int create_temporary(const OutputTarget& target, std::string& path) {
    // Room for the suffix within a name's limit of 255 bytes.
    const std::string entry = target.entry.substr(0, NAME_MAX - 17);
    path = (target.folder == "." ? "" : target.folder + "/") + "." + entry + ".datmend-XXXXXX";
    if (path.size() >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const SignalsHeld held;
    const int fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    for (auto& slot : g_temporaries) {
        if (slot[0] == '\0') {
            std::memcpy(slot.data(), path.c_str(), path.size() + 1);
            break;
        }
    }
    return fd;
}

mode_t current_umask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

}  // namespace

bool OutputFile::open(const std::string& name, mode_t mode) {
    target_ = resolve_target(name);
    struct stat st;
    const bool exists = stat(target_.path.c_str(), &st) == 0;
    if (!target_.entry.empty() && (!exists || S_ISREG(st.st_mode))) {
        const int fd = create_temporary(target_, temporary_);
        if (fd >= 0) {
            final_mode_ = exists ? st.st_mode & 07777 : mode & 0777 & ~current_umask();
            owner_ = exists ? st.st_uid : static_cast<uid_t>(-1);
            group_ = exists ? st.st_gid : static_cast<gid_t>(-1);
            writer_.set_descriptor(fd);
            return true;
        }
        temporary_.clear();
        if (!exists) {
            return false;  // where no file can be created beside the name, nor can the name
        }
        // A file in a folder where nothing can be created: written in place, as it always was.
    }
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode & 0777);
    writer_.set_descriptor(fd);
    return fd >= 0;
}

bool OutputFile::fail(int errnum) {
    writer_.fail(errnum);
    return false;
}

bool OutputFile::patch(std::uint64_t offset, const void* bytes, std::size_t n) {
    if (writer_.failed()) {
        return false;
    }
    errno = 0;
    const ssize_t done = pwrite(writer_.descriptor(), bytes, n, static_cast<off_t>(offset));
    return done == static_cast<ssize_t>(n) || fail(done < 0 ? errno_or_eio() : EIO);
}

bool OutputFile::finish() {
    if (!writer_.flush()) {
        return false;
    }
    errno = 0;
    return in_place() || fsync(writer_.descriptor()) == 0 || fail(errno_or_eio());
}

bool OutputFile::put_in_place() {
    const int fd = writer_.descriptor();
    if (fd < 0 || writer_.failed()) {
        return !writer_.failed();
    }
    errno = 0;
    if (!in_place()) {
        // The owner first: changing it may clear the mode's set-ID bits.
        if (owner_ != static_cast<uid_t>(-1) && fchown(fd, owner_, group_) != 0) {
            // A process may not give a file away; the file is then the user's own.
        }
        if (fchmod(fd, final_mode_) != 0) {
            return fail(errno_or_eio());
        }
    }
    writer_.set_descriptor(-1);
    if (::close(fd) != 0) {
        return fail(errno_or_eio());
    }
    if (in_place()) {
        return true;
    }
    {
        const SignalsHeld held;
        if (rename(temporary_.c_str(), target_.path.c_str()) != 0) {
            return fail(errno_or_eio());
        }
        forget_temporary(temporary_);
        temporary_.clear();
    }
    // The name is the new file's now; its folder is synced so that it stays so after a crash.
    // A file system that cannot sync a folder (EINVAL) has nothing to sync.
    const int folder = ::open(target_.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        const bool synced = fsync(folder) == 0 || errno == EINVAL;
        const int errnum = errno;
        ::close(folder);
        if (!synced) {
            return fail(errnum);
        }
    }
    return true;
}

void OutputFile::discard() {
    const int fd = writer_.descriptor();
    if (fd >= 0) {
        struct stat st;
        if (in_place() && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0) {
            // The failure that brought us here is what gets reported.
        }
        ::close(fd);
        writer_.set_descriptor(-1);
    }
    if (!temporary_.empty()) {
        const SignalsHeld held;
        unlink(temporary_.c_str());
        forget_temporary(temporary_);
        temporary_.clear();
    }
}

void remove_temporaries_on_fatal_signals() {
    struct sigaction action {};
    action.sa_handler = remove_temporaries_and_end;
    action.sa_flags = static_cast<int>(SA_RESETHAND);
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
}

}  // namespace datmend
