// Byte layouts of a data file: the file header at the front of the 512-byte header block,
// and the record header and trailer that frame every record. All fields are little-endian and
// are encoded and decoded field by field, so nothing depends on host byte order or padding.
#pragma once

#include <cstddef>
#include <cstdint>

namespace datmend {

constexpr std::uint32_t kFileHeaderSize = 16;
constexpr std::uint32_t kHeaderBlockSize = 512;
constexpr std::uint32_t kHeaderTailSize = kHeaderBlockSize - kFileHeaderSize;
constexpr std::uint32_t kRecordHeaderSize = 12;
constexpr std::uint32_t kTrailerSize = 4;
// Header and trailer around the data: a record occupies rec_length + kFramingSize bytes.
constexpr std::uint32_t kFramingSize = kRecordHeaderSize + kTrailerSize;
// The most bytes a record can occupy: the longest data a 16-bit length gives, framed.
constexpr std::uint32_t kLongestFrame = 65535 + kFramingSize;

constexpr std::uint8_t kActiveRecord = 0;
constexpr std::uint8_t kDeletedRecord = 1;
// The highest record type the resynchronisation scan accepts as a landing place.
constexpr std::uint8_t kHighestKnownType = 3;

constexpr std::int16_t kFileManagerVersion = 2;
constexpr std::uint16_t kHighestOrganization = 3;

// The first 16 bytes of the header block.
struct FileHeader {
    std::uint16_t organization = 0;  // bit 0 set: fixed-length records; above 3 is refused
    std::int16_t fm_version = 0;     // must be kFileManagerVersion
    std::int32_t record_length = 0;  // data length of active and deleted records when fixed
    std::int32_t freelist_address = 0;
    std::int32_t eof_address = 0;
};

// The 12 bytes in front of a record's data.
struct RecordHeader {
    std::uint8_t rec_type = 0;  // 0 active, 1 deleted, anything else overhead
    std::uint8_t rec_byte1 = 0;
    std::uint16_t rec_length = 0;  // number of data bytes
    std::uint32_t rec_word4 = 0;
    std::uint32_t rec_ordinal = 0;
};

inline std::uint16_t get_le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t get_le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void put_le16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void put_le32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

FileHeader decode_file_header(const std::uint8_t* bytes);           // reads kFileHeaderSize bytes
void encode_file_header(const FileHeader& h, std::uint8_t* bytes);  // writes kFileHeaderSize bytes

inline RecordHeader decode_record_header(const std::uint8_t* bytes) {
    RecordHeader h;
    h.rec_type = bytes[0];
    h.rec_byte1 = bytes[1];
    h.rec_length = get_le16(bytes + 2);
    h.rec_word4 = get_le32(bytes + 4);
    h.rec_ordinal = get_le32(bytes + 8);
    return h;
}

inline void encode_record_header(const RecordHeader& h, std::uint8_t* bytes) {
    bytes[0] = h.rec_type;
    bytes[1] = h.rec_byte1;
    put_le16(bytes + 2, h.rec_length);
    put_le32(bytes + 4, h.rec_word4);
    put_le32(bytes + 8, h.rec_ordinal);
}

inline std::uint32_t decode_trailer(const std::uint8_t* bytes) {
    return get_le32(bytes);
}

// The record whose header is at record: its type and data length, the bytes it occupies with
// its framing, where its data starts and what its trailer says. All of them read the header's
// bytes alone, but record_trailer(), which reads the trailer's.
inline std::uint8_t record_type(const std::uint8_t* record) {
    return record[0];
}
inline std::uint32_t record_length(const std::uint8_t* record) {
    return get_le16(record + 2);
}
constexpr std::uint32_t framed_size(std::uint32_t length) {
    return length + kFramingSize;
}
inline const std::uint8_t* record_data(const std::uint8_t* record) {
    return record + kRecordHeaderSize;
}
inline std::uint32_t record_trailer(const std::uint8_t* record, std::uint32_t length) {
    return decode_trailer(record + kRecordHeaderSize + length);
}
// The fewest bytes a record the scan can land on occupies: its framing and one byte of data.
constexpr std::uint32_t kShortestFrame = framed_size(1);

inline bool is_fixed_length(const FileHeader& h) {
    return (h.organization & 1u) != 0;
}

// What every record of a file must agree with: where the file ends and, in a fixed-length file,
// the data length of its active and deleted records (compared whole with the 16-bit length).
struct FrameRules {
    std::uint32_t physical_eof = 0;
    bool fixed_length = false;
    std::uint32_t record_length = 0;
};

inline FrameRules frame_rules(const FileHeader& h, std::uint32_t physical_eof) {
    return {physical_eof, is_fixed_length(h), static_cast<std::uint32_t>(h.record_length)};
}

// The rules of an intact record, in the order in which a record read in sequence is diagnosed.
enum class FrameFault {
    none,                // an intact record
    header_past_end,     // fewer bytes than a record header are left before the end of the file
    unreadable,          // a byte of it could not be read (the header's is found first)
    wrong_fixed_length,  // an active or deleted record whose length is not the file's
    data_past_end,       // its data runs past the end of the file
    trailer_past_end,    // its trailer runs past the end of the file
    trailer_mismatch,    // its trailer does not repeat its length
    empty,               // its length is 0
};

// The first rule that the record at file offset p (<= physical_eof) breaks, its bytes at record.
// readable_end (<= physical_eof) is where the readable bytes from p end: the first byte that
// could not be read, the end of the file, or any offset at or past the record's end. record
// holds the bytes up to readable_end or to the record's end, whichever comes first; none are
// read when not even a header fits. The record type is not a rule here: a record read in
// sequence may have any type.
inline FrameFault check_frame(const std::uint8_t* record, std::uint32_t p,
                              std::uint32_t readable_end, const FrameRules& rules) {
    // readable_end <= physical_eof: one comparison on the road of an intact record.
    if (readable_end - p < kRecordHeaderSize) {
        return rules.physical_eof - p < kRecordHeaderSize ? FrameFault::header_past_end
                                                          : FrameFault::unreadable;
    }
    const std::uint32_t length = record_length(record);
    if (rules.fixed_length && record_type(record) <= kDeletedRecord &&
        length != rules.record_length) {
        return FrameFault::wrong_fixed_length;
    }
    // p < 2^31 and length < 2^16: no sum here can wrap.
    const std::uint32_t end = p + framed_size(length);
    if (end > readable_end) {
        if (end - kTrailerSize > rules.physical_eof) {
            return FrameFault::data_past_end;
        }
        return end > rules.physical_eof ? FrameFault::trailer_past_end : FrameFault::unreadable;
    }
    if (record_trailer(record, length) != length) {
        return FrameFault::trailer_mismatch;
    }
    return length == 0 ? FrameFault::empty : FrameFault::none;
}

}  // namespace datmend
