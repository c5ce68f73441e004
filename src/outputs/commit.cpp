// An existing name is exchanged with its temporary file, so that what it held stays reachable
// under the temporary name until every name has changed; a new name is created without replacing
// anything. Where a filesystem cannot exchange names, what the name held is first kept under a
// hidden name of its own, as a hard link where the filesystem has them, else renamed aside.
#include "outputs/commit.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "io/write_all.hpp"
#include "outputs/temporaries.hpp"

namespace datmend {

namespace {

enum class Change {
    none,
    exchanged,  // the temporary name holds what the name held
    created,    // the name did not exist
    set_aside,  // what the name held is under aside, if anything was there
};

struct NameChange {
    OutputFile* file;
    Change change = Change::none;
    std::string aside;  // empty when nothing was set aside
};

// The name taken where names cannot be exchanged. Returns 0 or the errno.
int take_name_aside(NameChange& c) {
    OutputFile& f = *c.file;
    const SystemCalls& calls = f.calls();
    const int dir = f.folder();
    const char* name = f.entry().c_str();
    c.aside = hidden_name_for(f.entry());
    errno = 0;
    const bool linked = calls.linkat(dir, name, dir, c.aside.c_str(), 0) == 0;
    bool renamed_aside = false;
    if (!linked && errno != ENOENT) {  // no hard links here
        errno = 0;
        renamed_aside = calls.renameat2(dir, name, dir, c.aside.c_str(), 0) == 0;
        if (!renamed_aside && errno != ENOENT) {
            return errno_or_eio();
        }
    }
    if (!linked && !renamed_aside) {
        c.aside.clear();  // nothing there to keep
    }
    errno = 0;
    if (calls.renameat2(dir, f.temporary().c_str(), dir, name, 0) != 0) {
        const int errnum = errno_or_eio();
        if (renamed_aside) {
            calls.renameat2(dir, c.aside.c_str(), dir, name, 0);
        } else if (!c.aside.empty()) {
            unlinkat(dir, c.aside.c_str(), 0);
        }
        return errnum;
    }
    c.change = c.aside.empty() ? Change::created : Change::set_aside;
    return 0;
}

// The name given to the output's temporary file. Returns 0 or the errno. A name that appears or
// goes while this runs is taken all the same.
int take_name(NameChange& c) {
    OutputFile& f = *c.file;
    const SystemCalls& calls = f.calls();
    const int dir = f.folder();
    const char* temporary = f.temporary().c_str();
    const char* name = f.entry().c_str();
    for (int tries = 0; tries < 3; ++tries) {
        errno = 0;
        if (calls.renameat2(dir, temporary, dir, name, RENAME_EXCHANGE) == 0) {
            c.change = Change::exchanged;
            return 0;
        }
        if (errno == EINVAL) {
            return take_name_aside(c);  // this filesystem cannot exchange names
        }
        if (errno != ENOENT) {
            return errno_or_eio();
        }
        errno = 0;
        if (calls.renameat2(dir, temporary, dir, name, RENAME_NOREPLACE) == 0) {
            c.change = Change::created;
            return 0;
        }
        if (errno == EINVAL) {
            return take_name_aside(c);
        }
        if (errno != EEXIST) {
            return errno_or_eio();
        }
    }
    return EEXIST;
}

// The name leads back to what it held; the new file is under its temporary name again, or gone.
void undo(const NameChange& c) {
    OutputFile& f = *c.file;
    const SystemCalls& calls = f.calls();
    const int dir = f.folder();
    const char* temporary = f.temporary().c_str();
    const char* name = f.entry().c_str();
    switch (c.change) {
        case Change::exchanged:
            calls.renameat2(dir, temporary, dir, name, RENAME_EXCHANGE);
            break;
        case Change::created:
            if (calls.renameat2(dir, name, dir, temporary, RENAME_NOREPLACE) != 0 &&
                errno == EINVAL) {
                calls.renameat2(dir, name, dir, temporary, 0);
            }
            break;
        case Change::set_aside:
            calls.renameat2(dir, c.aside.c_str(), dir, name, 0);
            break;
        case Change::none:
            break;
    }
}

// What a name held before it changed, removed once every name has changed.
void remove_old_content(const NameChange& c) {
    OutputFile& f = *c.file;
    if (c.change == Change::exchanged) {
        remove_temporary(f.folder(), f.temporary());
    } else {
        forget_temporary(f.folder(), f.temporary());
        if (!c.aside.empty()) {
            unlinkat(f.folder(), c.aside.c_str(), 0);
        }
    }
    f.release_temporary();
}

bool same_folder(const OutputFile& a, const OutputFile& b) {
    struct stat sa;
    struct stat sb;
    return fstat(a.folder(), &sa) == 0 && fstat(b.folder(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// Syncs the folder of the change at i, unless an earlier change's folder is the same, so that the
// names stay as they are now after a crash. A folder that cannot be opened for reading, or a
// filesystem that cannot sync one (EINVAL), has nothing the tool can sync. Returns 0 or the errno.
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

// Undoes every change before end, last first.
void undo_all(const std::vector<NameChange>& changes, std::size_t end) {
    while (end > 0) {
        undo(changes[--end]);
    }
}

}  // namespace

WriteFailure commit_outputs(std::span<OutputFile* const> files) {
    std::vector<NameChange> changes;
    for (OutputFile* f : files) {
        if (!f->in_place()) {
            changes.push_back({f, Change::none, {}});
        }
    }
    hold_fatal_signals();
    for (std::size_t i = 0; i < changes.size(); ++i) {
        if (const int errnum = take_name(changes[i])) {
            undo_all(changes, i);
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
    return {};
}

}  // namespace datmend
