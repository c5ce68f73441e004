// Byte-level builder of data files, with the file helpers the tests and the generator share.
// It is written apart from the tool's own encoder, so that a wrong field offset in the tool
// shows up as a failed test rather than being repeated by the fixture.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace datbuild {

using Bytes = std::vector<std::uint8_t>;

inline void put16(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v & 0xFF));
    b.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
}

inline void put32(Bytes& b, std::uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

inline std::uint32_t le16_at(const Bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at] | (b[at + 1] << 8));
}

inline std::uint32_t le32_at(const Bytes& b, std::size_t at) {
    return le16_at(b, at) | (le16_at(b, at + 2) << 16);
}

inline void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline Bytes text(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

struct Record {
    std::uint8_t type = 0;
    Bytes data;
    std::optional<std::uint32_t> trailer;  // the data length unless set
    std::optional<std::uint32_t> length;   // the header's rec_length, the data length unless set
    std::uint8_t byte1 = 0;
    std::uint32_t word4 = 0;
    std::uint32_t ordinal = 0;
};

// The one record factory: a record of the given type holding data, its framing intact.
inline Record make_record(std::uint8_t type, Bytes data) {
    Record r;
    r.type = type;
    r.data = std::move(data);
    return r;
}

inline void append_record(Bytes& b, const Record& r) {
    const auto n = static_cast<std::uint32_t>(r.data.size());
    b.push_back(r.type);
    b.push_back(r.byte1);
    put16(b, r.length.value_or(n));
    put32(b, r.word4);
    put32(b, r.ordinal);
    b.insert(b.end(), r.data.begin(), r.data.end());
    put32(b, r.trailer.value_or(n));
}

// A data file under construction: the header block, then whatever is appended.
class DatFile {
  public:
    explicit DatFile(std::uint16_t organization = 0, std::uint32_t record_length = 0,
                     std::uint16_t version = 2, std::uint32_t freelist = 0) {
        put16(bytes_, organization);
        put16(bytes_, version);
        put32(bytes_, record_length);
        put32(bytes_, freelist);
        put32(bytes_, 0);  // eof_address, set by finish()
        for (std::uint32_t i = 16; i < 512; ++i) {
            bytes_.push_back(static_cast<std::uint8_t>(i * 7 + 3));  // a tail worth comparing
        }
    }

    DatFile& add(const Record& r) {
        append_record(bytes_, r);
        return *this;
    }
    DatFile& active(const Bytes& data) { return add(make_record(0, data)); }
    DatFile& deleted(const Bytes& data) { return add(make_record(1, data)); }
    DatFile& raw(const Bytes& data) {
        bytes_.insert(bytes_.end(), data.begin(), data.end());
        return *this;
    }
    std::size_t size() const { return bytes_.size(); }

    // The file with eof_address set to its size, or to the given value.
    Bytes finish(std::optional<std::uint32_t> eof_address = std::nullopt) const {
        Bytes b = bytes_;
        const auto eof = eof_address.value_or(static_cast<std::uint32_t>(b.size()));
        for (std::size_t i = 0; i < 4; ++i) {
            b[12 + i] = static_cast<std::uint8_t>(eof >> (8 * i));
        }
        return b;
    }

  private:
    Bytes bytes_;
};

}  // namespace datbuild
