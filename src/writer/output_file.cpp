// Opening and closing the files the tool writes; the writing itself is the Writer's.
#include "writer/output_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io/write_all.hpp"

namespace datmend {

OutputFile::~OutputFile() {
    if (writer_.descriptor() >= 0) {
        ::close(writer_.descriptor());
    }
}

bool OutputFile::open(const char* name, mode_t mode) {
    const int fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode & 0777);
    writer_.set_descriptor(fd);
    return fd >= 0;
}

bool OutputFile::close() {
    const int fd = writer_.descriptor();
    if (fd < 0) {
        return !writer_.failed();
    }
    bool ok = writer_.flush();
    errno = 0;
    if (::close(fd) != 0 && ok) {
        writer_.fail(errno_or_eio());
        ok = false;
    }
    writer_.set_descriptor(-1);
    return ok;
}

void OutputFile::close_empty() {
    const int fd = writer_.descriptor();
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0) {
        // The write failure that brought us here is what gets reported.
    }
    if (fd >= 0) {
        ::close(fd);
        writer_.set_descriptor(-1);
    }
}

}  // namespace datmend
