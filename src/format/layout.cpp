// Little-endian encode and decode of the 16-byte file header.
#include "format/layout.hpp"

namespace datmend {

FileHeader decode_file_header(const std::uint8_t* bytes) {
    FileHeader h;
    h.organization = get_le16(bytes + 0);
    h.fm_version = static_cast<std::int16_t>(get_le16(bytes + 2));
    h.record_length = static_cast<std::int32_t>(get_le32(bytes + 4));
    h.freelist_address = static_cast<std::int32_t>(get_le32(bytes + 8));
    h.eof_address = static_cast<std::int32_t>(get_le32(bytes + 12));
    return h;
}

void encode_file_header(const FileHeader& h, std::uint8_t* bytes) {
    put_le16(bytes + 0, h.organization);
    put_le16(bytes + 2, static_cast<std::uint16_t>(h.fm_version));
    put_le32(bytes + 4, static_cast<std::uint32_t>(h.record_length));
    put_le32(bytes + 8, static_cast<std::uint32_t>(h.freelist_address));
    put_le32(bytes + 12, static_cast<std::uint32_t>(h.eof_address));
}

}  // namespace datmend
