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
    if (failure.file == WriteFailure::File::deleted_file) {
        return report_file_error(state, state.deleted_name, failure.errnum, kDeletedFileFailed);
    }
    return report_file_error(state, state.new_name, failure.errnum, kOldOrNewFileFailed);
}

}  // namespace datmend
