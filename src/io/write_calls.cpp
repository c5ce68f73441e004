// The calls behind the writers' seam: the real ones, and those of a dry run.
#include "io/write_calls.hpp"

#include <unistd.h>

namespace datmend {

const WriteCalls& real_write_calls() {
    static const WriteCalls calls{::write, ::writev};
    return calls;
}

const WriteCalls& discarding_write_calls() {
    static const WriteCalls calls{
        [](int, const void*, std::size_t n) { return static_cast<ssize_t>(n); },
        [](int, const iovec* pieces, int count) {
            ssize_t n = 0;
            for (int i = 0; i < count; ++i) {
                n += static_cast<ssize_t>(pieces[i].iov_len);
            }
            return n;
        },
    };
    return calls;
}

}  // namespace datmend
