// Failures of files: the file's name and the system's words for what went wrong.
#include "driver/failure.hpp"

#include <cstring>

#include "driver/exit_status.hpp"

namespace datmend {

int report_failure(RunState& state, const std::string& name, const std::string& reason,
                   int status) {
    std::fprintf(state.err, "%s: %s\n", name.c_str(), reason.c_str());
    return status;
}

int report_file_error(RunState& state, const std::string& name, int errnum, int status) {
    return report_failure(state, name, std::strerror(errnum), status);
}

int report_write_failure(RunState& state, const WriteFailure& failure) {
    const Output& output = state.outputs.failed(failure);
    return report_file_error(state, output.name, failure.errnum, output.status);
}

}  // namespace datmend
