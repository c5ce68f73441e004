// The real calls behind the writers' seam.
#include "io/write_calls.hpp"

#include <unistd.h>

namespace datmend {

const WriteCalls& real_write_calls() {
    static const WriteCalls calls{::write, ::writev};
    return calls;
}

}  // namespace datmend
