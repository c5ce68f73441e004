// Failures of files: the file's name and the system's words for what went wrong, printed
// straight from where they lie.
#include "driver/failure.hpp"

#include <cstring>

namespace datmend {

int report_failure(std::FILE* err, const std::string& name, const char* reason, int status) {
    std::fprintf(err, "%s: %s\n", name.c_str(), reason);
    return status;
}

int report_file_error(std::FILE* err, const std::string& name, int errnum, int status) {
    return report_failure(err, name, std::strerror(errnum), status);
}

int report_not_a_data_file(std::FILE* err, const std::string& old_file, const std::string& why,
                           int status) {
    std::fprintf(err, "datmend: %s: not a data file: %s\n", old_file.c_str(), why.c_str());
    return status;
}

int report_refusal(std::FILE* err, const Refusal& refusal) {
    const Output& refused = *refusal.refused;
    switch (refusal.kind) {
        case Refusal::Kind::same_file:
            std::fprintf(err, "%s: Same file as %s\n", refused.name.c_str(),
                         refusal.other->name.c_str());
            return refused.status;
        case Refusal::Kind::standard_output:
            return report_failure(err, refused.name, "Same file as standard output",
                                  refused.status);
        case Refusal::Kind::failed:
        case Refusal::Kind::none:
            break;
    }
    return report_file_error(err, refused.name, refusal.errnum, refused.status);
}

int report_write_failure(std::FILE* err, const Outputs& outputs, const WriteFailure& failure) {
    const Output& failed = outputs.failed(failure);
    const int status = report_file_error(err, failed.name, failure.errnum, failed.status);
    for (const Output& output : outputs) {
        const OutputFile& file = output.file;
        if (file.undo_error() == 0) {
            continue;
        }
        std::fprintf(err, "%s: could not be changed back (%s); ", output.name.c_str(),
                     std::strerror(file.undo_error()));
        if (file.kept_as() != nullptr) {
            std::fprintf(err, "its old content is kept as %s\n", file.kept_as()->c_str());
        } else {
            std::fputs("it did not exist before\n", err);
        }
    }
    return status;
}

}  // namespace datmend
