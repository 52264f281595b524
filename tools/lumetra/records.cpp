// Template record files and `lumetra convert`.
//
// A template record file holds exactly what a host stores for one
// tpl_record: the record's first 8 bytes (the type code, three unused
// bytes, the length as a 32-bit little-endian number) followed by its
// `length` data bytes.  A file holding the whole 32768-byte record is
// read as well; the bytes past `length` are then ignored.
#include "records.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "api/lumetra_tools.h"
#include "engine/formats/qx_template_convert.h"
#include "engine/objects/qx_template.h"
#include "engine/qx_rc.h"

namespace cli {

namespace {

// Larger inputs are no template record of this library.
constexpr size_t kMaxInputBytes = 1u << 20;

uint32_t le32(const uint8_t *p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

bool record_from_bytes(const std::vector<uint8_t> &bytes, tpl_record *record,
                       std::string *problem) {
  std::memset(record, 0, sizeof *record);
  if (bytes.size() < kRecordHeaderBytes) {
    *problem = "not a template record (" + std::to_string(bytes.size()) +
               " bytes, shorter than its 8-byte header)";
    return false;
  }
  const uint32_t length = le32(bytes.data() + 4);
  if (length > LUMETRA_TPL_MAX_BYTES) {
    *problem = "not a template record (its length field says " + std::to_string(length) +
               " bytes, more than " + std::to_string(LUMETRA_TPL_MAX_BYTES) + ")";
    return false;
  }
  if (bytes.size() != kRecordHeaderBytes + length && bytes.size() != sizeof(tpl_record)) {
    *problem = "not a template record (" + std::to_string(bytes.size()) +
               " bytes, where its length field asks for " +
               std::to_string(kRecordHeaderBytes + length) + ")";
    return false;
  }
  record->type = bytes[0];
  std::memcpy(record->reserved, bytes.data() + 1, sizeof record->reserved);
  record->length = length;
  std::memcpy(record->data, bytes.data() + kRecordHeaderBytes, length);
  return true;
}

std::vector<uint8_t> record_to_bytes(const tpl_record &record) {
  const uint32_t length = record.length <= LUMETRA_TPL_MAX_BYTES ? record.length : 0;
  std::vector<uint8_t> bytes(kRecordHeaderBytes + length);
  bytes[0] = record.type;
  std::memcpy(bytes.data() + 1, record.reserved, sizeof record.reserved);
  for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<uint8_t>(length >> (8 * i));
  std::memcpy(bytes.data() + kRecordHeaderBytes, record.data, length);
  return bytes;
}

bool multitemplate_extent(const uint8_t *bytes, size_t size, size_t *used, std::string *problem) {
  // Magic, 0, version, instance count (255: up to the end), global records.
  constexpr size_t kHeader = 8, kRecordHead = 3, kInstanceHead = 10;
  *used = 0;
  if (size < kHeader || std::memcmp(bytes, "QXMT", 4) != 0 || bytes[4] != 0 ||
      bytes[5] < 1 || bytes[5] > 3) {
    *problem = "not an enrolled template (no multi-template header)";
    return false;
  }
  const unsigned version = bytes[5], instances = bytes[6], globals = bytes[7];
  size_t at = kHeader;
  const auto records = [&](unsigned count) {
    for (unsigned r = 0; r < count; ++r) {
      if (size - at < kRecordHead) return false;
      const size_t length = static_cast<size_t>(bytes[at + 1]) << 8 | bytes[at + 2];
      if (size - at - kRecordHead < length) return false;
      at += kRecordHead + length;
    }
    return true;
  };
  const auto instance = [&]() {
    const size_t head = version == 1 ? 8 : kInstanceHead;
    if (size - at < head) return false;
    const size_t n = version == 1 ? (static_cast<size_t>(bytes[at + 6]) << 8 | bytes[at + 7])
                                  : (static_cast<size_t>(bytes[at + 6]) << 24 |
                                     static_cast<size_t>(bytes[at + 7]) << 16 |
                                     static_cast<size_t>(bytes[at + 8]) << 8 | bytes[at + 9]);
    const unsigned count = bytes[at + 4];
    if (size - at - head < n) return false;
    at += head + n;
    return records(count);
  };
  bool whole = true;
  if (version == 3) {
    whole = records(globals);
    for (unsigned i = 0; whole && (instances == 255 || i < instances); ++i) {
      if (size - at < kInstanceHead || std::memcmp(bytes + at, "\xFF\xFF\xFF\xFF", 4) == 0) {
        if (instances != 255) whole = false;  // fewer instances than it says
        break;
      }
      whole = instance();
    }
  } else {
    for (unsigned i = 0; whole && instances != 255 && i < instances; ++i) whole = instance();
    whole = whole && records(globals);
  }
  for (size_t i = at; whole && i < size; ++i) whole = bytes[i] == 0xFF;
  if (!whole) {
    *problem = "a damaged enrolled template (its parts do not fit its bytes)";
    return false;
  }
  *used = at;
  return true;
}

bool read_record_file(const std::string &path, tpl_record *record, std::string *problem) {
  std::vector<uint8_t> bytes;
  return read_input(path, kMaxInputBytes, &bytes, problem) &&
         record_from_bytes(bytes, record, problem);
}

bool write_record_file(const std::string &path, const tpl_record &record, std::string *problem) {
  const std::vector<uint8_t> bytes = record_to_bytes(record);
  return write_whole_file(path, bytes.data(), bytes.size(), problem);
}

// ---- convert ------------------------------------------------------------

namespace {

// What convert makes: a template part of another type (type > 0), or the
// same template in the other form (record or raw bytes).
constexpr int32_t kRecordForm = -1;
constexpr int32_t kRawForm = -2;

struct Target {
  const char *name;
  int32_t type;
};

const Target kTargets[] = {
    {"record", kRecordForm},
    {"raw", kRawForm},
    {"card", QX_TEMPLATE_ISO_COMPACT_CARD},
    {"spectral", QX_TEMPLATE_SPECTRAL},
    {"spectral-hr", QX_TEMPLATE_SPECTRAL_HR},
};

std::string conversion_problem(qx_rc rc, int32_t from, const char *to) {
  if (rc == QX_RC_UNSUPPORTED)
    return "the library does not convert a template of type " + std::to_string(from) +
           " to " + to;
  if (rc == QX_RC_NOT_A_RECORD)
    return std::string("the template holds no readable ") + to + " part";
  if (rc == QX_RC_NO_MEMORY) return "out of memory";
  return "the library cannot convert it (result " + std::to_string(rc) + ")";
}

}  // namespace

int cmd_convert(const std::vector<std::string> &args) {
  Arguments a;
  int status = kExitOk;
  if (!parse_arguments("convert", args, {false, {"-o", "--to", "--type"}, {}}, &a, &status))
    return status;
  if (a.files.empty()) return fail("convert", "no template given");
  if (a.files.size() > 1) return fail(a.files[1], "convert takes one template");
  if (a.value("-o") == nullptr) return fail("convert", "needs -o OUT");
  const std::string &input = a.files[0];
  const std::string &output = *a.value("-o");
  const Target *target = nullptr;
  if (const std::string *to = a.value("--to")) {
    for (const Target &t : kTargets)
      if (*to == t.name) target = &t;
    if (target == nullptr)
      return fail(*to, "unknown target (record, raw, card, spectral or spectral-hr)");
  }
  int stated_type = 0;
  if (const std::string *t = a.value("--type")) {
    if (!parse_int(t->c_str(), 1, 255, &stated_type)) return fail(*t, "not a template type (1..255)");
  }

  std::vector<uint8_t> bytes;
  std::string problem;
  if (!read_input(input, kMaxInputBytes, &bytes, &problem)) return fail(input, problem);
  // A template record file, or the bare bytes of one template.
  auto record = std::make_unique<tpl_record>();
  std::string as_record;
  const bool is_record = record_from_bytes(bytes, record.get(), &as_record);
  int32_t type = 0;
  std::vector<uint8_t> data;
  if (is_record) {
    type = record->type;
    data.assign(record->data, record->data + record->length);
  } else {
    type = stated_type != 0 ? stated_type
                             : lumetra_tools_record_type(bytes.data(), static_cast<uint32_t>(bytes.size()));
    if (type == 0)
      return fail(input, "neither a template record nor a template lumetra extract writes "
                         "(give its type with --type N)");
    data = bytes;
  }
  if (target == nullptr) target = is_record ? &kTargets[1] : &kTargets[0];

  // The content: the same template, or the part the library takes out.
  int32_t out_type = type;
  if (target->type > 0) {
    uint8_t *part = nullptr;
    uint32_t part_size = 0;
    // The library takes the part out (the type of a record `lumetra
    // extract` writes is the library's to tell, too).
    const qx_rc rc = lumetra_tools_convert_template(type, data.data(),
                                                    static_cast<uint32_t>(data.size()),
                                                    target->type, &part, &part_size);
    if (rc != QX_RC_OK) {
      lumetra_tools_free(part);
      return fail(input, conversion_problem(rc, type, target->name));
    }
    data.assign(part, part + part_size);
    lumetra_tools_free(part);
    out_type = target->type;
  }
  // The form: a record when asked for, or when a record came in and only
  // the content was to change.
  const bool as_record_out =
      target->type == kRecordForm || (target->type > 0 && is_record);
  if (as_record_out) {
    if (data.size() > LUMETRA_TPL_MAX_BYTES)
      return fail(input, "too large for a template record (" + std::to_string(data.size()) +
                             " bytes)");
    std::memset(record.get(), 0, sizeof *record);
    record->type = static_cast<unsigned char>(out_type);
    record->length = static_cast<uint32_t>(data.size());
    std::memcpy(record->data, data.data(), data.size());
    if (!write_record_file(output, *record, &problem)) return fail(output, problem);
  } else if (!write_whole_file(output, data.data(), data.size(), &problem)) {
    return fail(output, problem);
  }
  const size_t written = data.size() + (as_record_out ? kRecordHeaderBytes : 0);
  if (a.json) {
    std::printf("{\"input\": %s, \"input_form\": \"%s\", \"input_type\": %d, \"output\": %s, "
                "\"output_form\": \"%s\", \"output_type\": %d, \"bytes\": %zu}\n",
                json_string(input).c_str(), is_record ? "record" : "raw", type,
                json_string(output).c_str(), as_record_out ? "record" : "raw", out_type, written);
  } else {
    std::printf("%s (%s, type %d) -> %s (%s, type %d, %zu bytes)\n", input.c_str(),
                is_record ? "record" : "raw", type, output.c_str(),
                as_record_out ? "record" : "raw", out_type, written);
  }
  return kExitOk;
}

}  // namespace cli
