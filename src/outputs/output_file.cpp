// Temporary files: created exclusively beside the name, through the folder's descriptor, and
// given everything the name is to have before the name changes: data synced, owner, group, mode
// and attributes. Only a folder that refuses creation has an existing regular file written in
// place, through the descriptor the name was found by.
#include "outputs/output_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "io/write_all.hpp"
#include "outputs/signals.hpp"
#include "outputs/temporaries.hpp"

namespace datmend {

namespace {

// The attributes a replaced file keeps: who may read it, and what the user put on it.
bool is_kept_attribute(std::string_view name) {
    return name == "system.posix_acl_access" || name.starts_with("user.");
}

// The creation of a file is refused by the folder itself: the one case where an existing file
// is written in place.
bool is_refused_creation(int errnum) {
    return errnum == EACCES || errnum == EPERM || errnum == EROFS;
}

}  // namespace

int OutputFile::open(const Target& target, mode_t mode) {
    const bool exists = target.exists();
    const struct stat& st = target.st;
    // A device or a pipe is written where it is; so is a name that is no file's.
    if ((exists && !S_ISREG(st.st_mode)) || target.entry.empty()) {
        return open_in_place(target, exists ? st.st_mode : S_IFREG);
    }
    folder_ = fcntl(target.folder, F_DUPFD_CLOEXEC, 0);
    if (folder_ < 0) {
        return errno;
    }
    entry_ = target.entry;
    if (exists) {
        if (const int errnum = read_attributes(target)) {
            close_folder();
            return errnum;
        }
    }
    // A file to replace is private until it has its owner, group and mode; a new one gets its
    // mode from the start, as the kernel applies the umask or the folder's default ACL to it.
    const int fd =
        create_temporary(calls_, folder_, entry_, exists ? 0600 : mode & 0777, temporary_);
    if (fd < 0) {
        const int errnum = errno;
        temporary_.clear();
        close_folder();
        if (!exists || !is_refused_creation(errnum)) {
            return errnum;  // a full disk or a long name is no reason to write over the file
        }
        return open_in_place(target, st.st_mode);
    }
    in_place_ = false;
    replaces_ = exists;
    final_mode_ = st.st_mode & 07777;
    owner_ = st.st_uid;
    group_ = st.st_gid;
    writer_.set_descriptor(fd);
    return 0;
}

// The very file the name was found to lead to, through its descriptor. A block device is taken
// exclusively, which the system refuses while it is mounted or held. A regular file is emptied
// only once every output is open (empty_in_place()).
int OutputFile::open_in_place(const Target& target, mode_t kind) {
    if (!target.exists()) {
        return ENOENT;  // a name of a folder that is not there
    }
    const int fd = reopen(target, O_WRONLY | (S_ISBLK(kind) ? O_EXCL : 0));
    if (fd < 0) {
        return errno;
    }
    writer_.set_descriptor(fd);
    return 0;
}

int OutputFile::empty_in_place() {
    struct stat st;
    const int fd = writer_.descriptor();
    if (!in_place_ || fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return 0;
    }
    emptier_ = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (emptier_ < 0 || !list_emptied(emptier_)) {
        return emptier_ < 0 ? errno : EMFILE;
    }
    return ftruncate(fd, 0) == 0 ? 0 : errno;
}

void OutputFile::close_folder() {
    if (folder_ >= 0) {
        ::close(folder_);
        folder_ = -1;
    }
}

// Taken before anything is created, so that a file whose attributes cannot be read is refused
// while nothing has changed; read from the file itself, through its descriptor.
int OutputFile::read_attributes(const Target& target) {
    const int fd = reopen(target, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        return errno;
    }
    const int errnum = read_attributes_of(fd);
    ::close(fd);
    return errnum;
}

// A filesystem without extended attributes (ENOTSUP) has none to keep.
int OutputFile::read_attributes_of(int fd) {
    errno = 0;
    const ssize_t size = calls_.flistxattr(fd, nullptr, 0);
    if (size < 0) {
        return errno == ENOTSUP ? 0 : errno_or_eio();
    }
    std::string names(static_cast<std::size_t>(size), '\0');
    errno = 0;
    const ssize_t listed = calls_.flistxattr(fd, names.data(), names.size());
    if (listed < 0) {
        return errno == ENOTSUP ? 0 : errno_or_eio();
    }
    names.resize(static_cast<std::size_t>(listed));
    for (std::size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
        const std::string attribute = names.c_str() + at;
        if (!is_kept_attribute(attribute)) {
            continue;
        }
        errno = 0;
        const ssize_t n = calls_.fgetxattr(fd, attribute.c_str(), nullptr, 0);
        std::string value(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
        if (n < 0 || calls_.fgetxattr(fd, attribute.c_str(), value.data(), value.size()) != n) {
            return errno_or_eio();
        }
        attributes_.emplace_back(attribute, std::move(value));
    }
    return 0;
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
    const ssize_t done = calls_.pwrite(writer_.descriptor(), bytes, n, static_cast<off_t>(offset));
    return done == static_cast<ssize_t>(n) || fail(done < 0 ? errno_or_eio() : EIO);
}

// Owner and group each on its own, as far as the process may set them. A file whose group
// cannot be kept loses the group's access rather than give it to the user's own group, and
// others get no more than that group had: its members are others now.
bool OutputFile::set_owner_and_group(int fd) {
    errno = 0;
    if (calls_.fchown(fd, owner_, static_cast<gid_t>(-1)) != 0 && errno != EPERM) {
        return fail(errno_or_eio());
    }
    errno = 0;
    if (calls_.fchown(fd, static_cast<uid_t>(-1), group_) != 0) {
        if (errno != EPERM) {
            return fail(errno_or_eio());
        }
        const mode_t group = (final_mode_ & S_IRWXG) >> 3;
        final_mode_ &= ~static_cast<mode_t>(S_IRWXG | S_IRWXO) | group;
    }
    return true;
}

bool OutputFile::set_attributes(int fd) {
    for (const auto& [attribute, value] : attributes_) {
        errno = 0;
        if (calls_.fsetxattr(fd, attribute.c_str(), value.data(), value.size(), 0) != 0) {
            return fail(errno_or_eio());
        }
    }
    return true;
}

// The mode last: it also sets what an ACL grants to the group's entries, and clears no set-ID
// bit that an owner change would.
bool OutputFile::complete() {
    const int fd = writer_.descriptor();
    if (fd < 0 || !writer_.flush()) {
        return !writer_.failed();
    }
    if (replaces_) {
        if (!set_owner_and_group(fd) || !set_attributes(fd)) {
            return false;
        }
        errno = 0;
        if (calls_.fchmod(fd, final_mode_) != 0) {
            return fail(errno_or_eio());
        }
    }
    // A pipe or a character device has nothing to sync (EINVAL).
    errno = 0;
    if (calls_.fsync(fd) != 0 && (!in_place_ || errno != EINVAL)) {
        return fail(errno_or_eio());
    }
    return true;
}

bool OutputFile::close() {
    const int fd = writer_.descriptor();
    if (fd < 0) {
        return !writer_.failed();
    }
    writer_.set_descriptor(-1);
    errno = 0;
    return calls_.close(fd) == 0 || fail(errno_or_eio());
}

void OutputFile::name_aside() {
    aside_ = hidden_name_for(entry_);
}

void OutputFile::release_temporary() {
    temporary_.clear();
}

void OutputFile::not_changed_back(int errnum, const std::string* kept) {
    undo_errnum_ = errnum;
    kept_ = kept;
    if (kept == &temporary_) {
        forget_temporary(folder_, temporary_);  // never to be removed now
    }
}

void OutputFile::settle() {
    if (emptier_ >= 0) {
        unlist_emptied(emptier_);
        ::close(emptier_);
        emptier_ = -1;
    }
    release_temporary();
}

void OutputFile::discard() {
    const int fd = writer_.descriptor();
    if (fd >= 0) {
        ::close(fd);
        writer_.set_descriptor(-1);
    }
    if (emptier_ >= 0) {
        if (ftruncate(emptier_, 0) != 0) {
            // The failure that brought us here is what gets reported.
        }
        unlist_emptied(emptier_);
        ::close(emptier_);
        emptier_ = -1;
    }
    if (!temporary_.empty() && kept_ != &temporary_) {
        remove_temporary(folder_, temporary_);
    }
    temporary_.clear();
    close_folder();
}

}  // namespace datmend
