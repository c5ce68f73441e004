// The one way a file failure is reported: the file's name and the system's words for it.
#include "driver/run_state.hpp"

#include <cstring>

namespace datmend {

int report_file_error(RunState& state, const std::string& name, int errnum, int status) {
    std::fprintf(state.err, "%s: %s\n", name.c_str(), std::strerror(errnum));
    return status;
}

}  // namespace datmend
