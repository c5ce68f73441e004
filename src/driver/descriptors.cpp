// Standard descriptors and signals at start-up.
#include "driver/descriptors.hpp"

#include <fcntl.h>

#include <cerrno>
#include <csignal>

namespace datmend {

bool set_up_standard_descriptors() {
    bool output_open = true;
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            output_open = output_open && fd != 1;
            open("/dev/null", O_RDWR);  // the lowest free descriptor: this one
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    return output_open;
}

}  // namespace datmend
