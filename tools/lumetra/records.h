// Template record files: exactly the tpl_record image a host stores (see
// records.cpp for the layout), read and written by enroll, verify and
// convert.
#ifndef TOOLS_LUMETRA_RECORDS_H
#define TOOLS_LUMETRA_RECORDS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli.h"
#include "lumetra.h"

namespace cli {

// Type code, three unused bytes, 32-bit little-endian length.
inline constexpr size_t kRecordHeaderBytes = 8;

// Reads a record from a file's bytes; false with *problem set.
bool record_from_bytes(const std::vector<uint8_t> &bytes, tpl_record *record,
                       std::string *problem);
// The file bytes of a record: its 8 header bytes and `length` data bytes.
std::vector<uint8_t> record_to_bytes(const tpl_record &record);

// The bytes a multi-template encoding (type 80, "QXMT") really uses of
// `size` bytes, which may be followed by the 0xFF padding of a slot: true
// with *used set; false with *problem set when the bytes are no encoding
// the library reads (wrong magic or version, a part running past the end,
// or bytes after the encoding that are not padding).
bool multitemplate_extent(const uint8_t *bytes, size_t size, size_t *used, std::string *problem);

bool read_record_file(const std::string &path, tpl_record *record, std::string *problem);
// Replaces the file whole (through a temporary beside it).
bool write_record_file(const std::string &path, const tpl_record &record, std::string *problem);

}  // namespace cli

#endif  // TOOLS_LUMETRA_RECORDS_H
