// An existing name is exchanged with its temporary file, so that what it held stays reachable
// under the temporary name until every name has changed; a new name is created without replacing
// anything. Where a filesystem cannot exchange names, what the name held is first kept under a
// hidden name of its own, as a hard link where the filesystem has them, else renamed aside. Every
// name the commit may need is made before the first name changes, so that nothing is allocated
// while the names disagree, and an undo that fails removes nothing it could not put back.
#include "outputs/commit.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "io/write_all.hpp"
#include "outputs/signals.hpp"
#include "outputs/temporaries.hpp"

namespace datmend {

namespace {

enum class Change {
    none,
    exchanged,  // the temporary name holds what the name held
    created,    // the name did not exist; the temporary name is gone
    linked,     // what the name holds is linked under the aside name too
    moved,      // what the name held is under the aside name, and the name is gone
    replaced,   // what the name held is under the aside name, and the name holds the new file
};

struct NameChange {
    OutputFile* file;
    Change change = Change::none;
};

int renamed(const OutputFile& f, const std::string& from, const std::string& to, unsigned flags) {
    errno = 0;
    return f.calls().renameat2(f.folder(), from.c_str(), f.folder(), to.c_str(), flags) == 0
               ? 0
               : errno_or_eio();
}

// The name taken where names cannot be exchanged: what it holds kept under the aside name first.
// Returns 0 or the errno; a change half made is c's, for the undo.
int take_name_aside(NameChange& c) {
    const OutputFile& f = *c.file;
    errno = 0;
    if (f.calls().linkat(f.folder(), f.entry().c_str(), f.folder(), f.aside().c_str(), 0) == 0) {
        c.change = Change::linked;
    } else if (errno != ENOENT) {  // no hard links here
        const int errnum = renamed(f, f.entry(), f.aside(), 0);
        if (errnum == 0) {
            c.change = Change::moved;
        } else if (errnum != ENOENT) {
            return errnum;
        }
    }
    if (const int errnum = renamed(f, f.temporary(), f.entry(), 0)) {
        return errnum;
    }
    c.change = c.change == Change::none ? Change::created : Change::replaced;
    return 0;
}

// The name given to the output's temporary file. Returns 0 or the errno. A name that appears or
// goes while this runs is taken all the same.
int take_name(NameChange& c) {
    const OutputFile& f = *c.file;
    for (int tries = 0; tries < 3; ++tries) {
        int errnum = renamed(f, f.temporary(), f.entry(), RENAME_EXCHANGE);
        if (errnum == 0) {
            c.change = Change::exchanged;
            return 0;
        }
        if (errnum == EINVAL) {
            return take_name_aside(c);  // this filesystem cannot exchange names
        }
        if (errnum != ENOENT) {
            return errnum;
        }
        errnum = renamed(f, f.temporary(), f.entry(), RENAME_NOREPLACE);
        if (errnum == 0) {
            c.change = Change::created;
            return 0;
        }
        if (errnum == EINVAL) {
            return take_name_aside(c);
        }
        if (errnum != EEXIST) {
            return errnum;
        }
    }
    return EEXIST;
}

// The name leads back to what it held, and the new file is under its temporary name again, or
// gone. Returns 0, or the errno of why not; then nothing is removed, and c's file records what
// keeps what the name held.
int undo(NameChange& c) {
    OutputFile& f = *c.file;
    int errnum = 0;
    const std::string* kept = nullptr;
    switch (c.change) {
        case Change::none:
            return 0;
        case Change::exchanged:
            errnum = renamed(f, f.temporary(), f.entry(), RENAME_EXCHANGE);
            kept = &f.temporary();
            break;
        case Change::created:
            errnum = renamed(f, f.entry(), f.temporary(), RENAME_NOREPLACE);
            if (errnum == EINVAL) {
                errnum = renamed(f, f.entry(), f.temporary(), 0);
            }
            break;
        case Change::linked:
            if (unlinkat(f.folder(), f.aside().c_str(), 0) != 0) {
                // The name still holds what it held: a link left over is a second name for it.
            }
            break;
        case Change::moved:
        case Change::replaced:
            errnum = renamed(f, f.aside(), f.entry(), 0);
            kept = &f.aside();
            break;
    }
    if (errnum != 0) {
        f.not_changed_back(errnum, kept);
    }
    c.change = Change::none;
    return errnum;
}

// Undoes every change before end, last first, each whatever became of the one after it.
void undo_all(std::vector<NameChange>& changes, std::size_t end) {
    while (end > 0) {
        undo(changes[--end]);
    }
}

// What a name held before it changed, removed once every name has changed.
void remove_old_content(const NameChange& c) {
    OutputFile& f = *c.file;
    if (c.change == Change::exchanged) {
        remove_temporary(f.folder(), f.temporary());
    } else {
        forget_temporary(f.folder(), f.temporary());
        if (c.change == Change::replaced) {
            unlinkat(f.folder(), f.aside().c_str(), 0);
        }
    }
}

bool same_folder(const OutputFile& a, const OutputFile& b) {
    struct stat sa;
    struct stat sb;
    return fstat(a.folder(), &sa) == 0 && fstat(b.folder(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// Syncs the folder of the change at i, unless an earlier change's folder is the same one, so
// that the names stay as they are now after a crash: each folder by its own device and inode,
// as two folders of one filesystem are two syncs. A folder that cannot be opened for reading, or
// a filesystem that cannot sync one (EINVAL), has nothing the tool can sync. Returns 0 or the
// errno.
int sync_folder(const std::vector<NameChange>& changes, std::size_t i) {
    const OutputFile& f = *changes[i].file;
    for (std::size_t j = 0; j < i; ++j) {
        if (same_folder(*changes[j].file, f)) {
            return 0;
        }
    }
    const int folder = openat(f.folder(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        return 0;
    }
    errno = 0;
    const bool synced = f.calls().fsync(folder) == 0 || errno == EINVAL;
    const int errnum = synced ? 0 : errno_or_eio();
    ::close(folder);
    return errnum;
}

WriteFailure failed(NameChange& c, int errnum) {
    c.file->fail(errnum);
    return {&c.file->writer(), errnum};
}

}  // namespace

WriteFailure commit_outputs(std::span<OutputFile* const> files) {
    std::vector<NameChange> changes;
    changes.reserve(files.size());
    for (OutputFile* f : files) {
        if (!f->in_place()) {
            f->name_aside();
            changes.push_back({f, Change::none});
        }
    }
    hold_fatal_signals();
    for (std::size_t i = 0; i < changes.size(); ++i) {
        if (const int errnum = take_name(changes[i])) {
            undo_all(changes, i + 1);
            return failed(changes[i], errnum);
        }
    }
    for (std::size_t i = 0; i < changes.size(); ++i) {
        if (const int errnum = sync_folder(changes, i)) {
            undo_all(changes, changes.size());
            return failed(changes[i], errnum);
        }
    }
    for (const NameChange& c : changes) {
        remove_old_content(c);
    }
    for (OutputFile* f : files) {
        f->settle();
    }
    return {};
}

}  // namespace datmend
