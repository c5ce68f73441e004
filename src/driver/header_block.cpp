// The header block in the new file, and why a header that stops the run is no data file's.
#include "driver/header_block.hpp"

#include <cstring>

namespace datmend {

namespace {

// The 496 bytes after the file header; those a short file or the disk cannot supply are zero.
void read_header_tail(DamagedFile& damaged, std::uint8_t* tail) {
    std::memset(tail, 0, kHeaderTailSize);
    const auto bytes = damaged.view(kFileHeaderSize, kHeaderTailSize);
    if (!bytes.empty()) {
        std::memcpy(tail, bytes.data(), bytes.size());
    }
}

}  // namespace

std::string why_not_a_data_file(const HeaderJudgement& judgement, std::uint32_t physical_eof) {
    const FileHeader& h = judgement.as_read;
    const std::string unvouched = ", and fewer than 2 records vouch for it";
    if (judgement.verdict == HeaderVerdict::no_header) {
        return physical_eof < kFileHeaderSize ? "its header block is shorter than 16 bytes"
                                              : "its file header cannot be read" + unvouched;
    }
    if (h.fm_version != kFileManagerVersion) {
        return "its file manager version is " + std::to_string(h.fm_version) + ", not 2" +
               unvouched;
    }
    return "its file organization is " + std::to_string(h.organization) + ", not 0 to 3";
}

bool write_header_block(Writer& new_file, DamagedFile& file, FileHeader header) {
    std::uint8_t block[kHeaderBlockSize];
    read_header_tail(file, block + kFileHeaderSize);
    header.freelist_address = 0;
    encode_file_header(header, block);
    return new_file.write(block, sizeof block) && new_file.flush();
}

bool patch_new_header(OutputFile& new_file, FileHeader header, std::uint32_t new_eof) {
    header.freelist_address = 0;
    header.eof_address = static_cast<std::int32_t>(new_eof);
    std::uint8_t bytes[kFileHeaderSize];
    encode_file_header(header, bytes);
    return new_file.patch(0, bytes, sizeof bytes);
}

}  // namespace datmend
