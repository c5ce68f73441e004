// Failures of files: the file's name and the system's words for what went wrong.
#include "driver/failure.hpp"

#include <cstring>

namespace datmend {

int report_failure(std::FILE* err, const std::string& name, const std::string& reason, int status) {
    std::fprintf(err, "%s: %s\n", name.c_str(), reason.c_str());
    return status;
}

int report_file_error(std::FILE* err, const std::string& name, int errnum, int status) {
    return report_failure(err, name, std::strerror(errnum), status);
}

int report_write_failure(std::FILE* err, const Outputs& outputs, const WriteFailure& failure) {
    const Output& output = outputs.failed(failure);
    return report_file_error(err, output.name, failure.errnum, output.status);
}

}  // namespace datmend
