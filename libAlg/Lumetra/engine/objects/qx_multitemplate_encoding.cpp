// The "QXMT" byte encoding of a multi-template: writer (version 3) and
// reader (versions 1 to 3, tolerant of erased-flash 0xFF padding).
#include <array>
#include <cstring>

#include "engine/formats/be_bytes.h"
#include "engine/objects/multitemplate_internal.hpp"
#include "engine/objects/qx_multitemplate.h"
#include "engine/qx_alloc.h"
#include "engine/qx_buffer.hpp"
#include "engine/qx_rc.h"

namespace {

constexpr uint8_t kMagic[4] = {0x51, 0x58, 0x4D, 0x54};  // "QXMT"
constexpr size_t kHeaderSize = 8;
constexpr size_t kRecordHead = 3;        // key, 16-bit length
constexpr size_t kInstanceHead = 10;     // versions 2 and 3
constexpr size_t kInstanceHeadV1 = 8;    // 16-bit template size
constexpr uint32_t kWrittenMinusOne = 0x80000000u;  // how tag -1 is stored
constexpr uint32_t kStopTag = 0xFFFFFFFFu;          // ends a version 3 list
constexpr uint8_t kCountToEnd = 255;     // byte 6: instances run to the end
constexpr uint8_t kErased = 0xFF;

uint64_t records_size(const qx_mt_record *rec, size_t *count) {
  uint64_t size = 0;
  *count = 0;
  for (; rec != nullptr; rec = rec->next) {
    size += kRecordHead + rec->length;
    ++*count;
  }
  return size;
}

// Size of the encoding, and whether every count fits its byte.
uint64_t encoding_size(const qx_multitemplate *mt, bool *representable) {
  size_t n = 0;
  uint64_t size = kHeaderSize + records_size(mt->global, &n);
  *representable = n <= 255;
  for (const qx_mt_instance *in = mt->first; in != nullptr; in = in->next) {
    size += kInstanceHead + qx_template_get_data_size(in->tpl) + records_size(in->records, &n);
    const int32_t type = qx_template_get_type(in->tpl);
    if (n > 255 || type < 0 || type > 255) *representable = false;
  }
  return size;
}

uint8_t *write_records(uint8_t *p, const qx_mt_record *rec) {
  for (; rec != nullptr; rec = rec->next) {
    p[0] = rec->key;
    qx_fmt::put16(p + 1, rec->length);
    if (rec->length != 0) std::memcpy(p + kRecordHead, rec->data, rec->length);
    p += kRecordHead + rec->length;
  }
  return p;
}

// Reads the encoding front to back; every length is checked against what
// remains before it is used.
class Reader {
 public:
  Reader(const uint8_t *data, size_t size) : p_(data), left_(size) {}
  size_t left() const { return left_; }
  const uint8_t *here() const { return p_; }
  void skip(size_t n) {
    p_ += n;
    left_ -= n;
  }
  // A slot holds kilobytes of padding: compare it a block at a time.
  bool rest_is_erased() const {
    static const auto erased_block = [] {
      std::array<uint8_t, 256> block{};
      block.fill(kErased);
      return block;
    }();
    size_t i = 0;
    for (; i + erased_block.size() <= left_; i += erased_block.size()) {
      if (std::memcmp(p_ + i, erased_block.data(), erased_block.size()) != 0) return false;
    }
    return left_ == i || std::memcmp(p_ + i, erased_block.data(), left_ - i) == 0;
  }

 private:
  const uint8_t *p_;
  size_t left_;
};

void release_source(void *source) { qx_template_delete(static_cast<qx_template *>(source)); }

class Decoder {
 public:
  Decoder(qx_template *source, qx_multitemplate *mt, int version)
      : source_(source), mt_(mt), version_(version),
        refer_(qx_template_is_mr(source) && !qx_template_get_mr_const(source)),
        in_(qx_template_get_data(source), qx_template_get_data_size(source)) {
    in_.skip(kHeaderSize);
  }

  Reader &reader() { return in_; }

  int32_t read_records(qx_mt_record **list, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
      if (in_.left() < kRecordHead) return QX_RC_BAD_DATA;
      const uint8_t key = in_.here()[0];
      const uint16_t length = qx_fmt::get16(in_.here() + 1);
      in_.skip(kRecordHead);
      if (in_.left() < length) return QX_RC_BAD_DATA;
      qx_mt_record *rec = qx_mt::new_record(key, in_.here(), length);
      if (rec == nullptr) return QX_RC_NO_MEMORY;
      in_.skip(length);
      // Encoded order is list order; a repeated key replaces the earlier one.
      qx_mt::put_record(list, rec, false);
    }
    return QX_RC_OK;
  }

  int32_t read_instance() {
    const size_t head = version_ == 1 ? kInstanceHeadV1 : kInstanceHead;
    if (in_.left() < head) return QX_RC_BAD_DATA;
    const uint8_t *h = in_.here();
    const uint32_t raw_tag = qx_fmt::get32(h);
    const int32_t tag = raw_tag == kWrittenMinusOne ? -1 : static_cast<int32_t>(raw_tag);
    const uint8_t nbr_records = h[4];
    const int32_t type = h[5];
    const uint32_t size = version_ == 1 ? qx_fmt::get16(h + 6) : qx_fmt::get32(h + 6);
    in_.skip(head);
    if (in_.left() < size) return QX_RC_BAD_DATA;

    qx_template *tpl = nullptr;
    if (refer_) {
      // The instance reads the source's bytes and keeps the source alive.
      tpl = qx_template_create_mre(type, in_.here(), size, 0, release_source,
                                   qx_template_retain(source_));
      if (tpl == nullptr) qx_template_delete(source_);
    } else {
      tpl = qx_template_create(type, in_.here(), size);
    }
    if (tpl == nullptr) return QX_RC_NO_MEMORY;
    in_.skip(size);
    qx_mt_instance *instance = nullptr;
    const int32_t rc = qx_mt::append_instance(mt_, tag, tpl, &instance);
    qx_template_delete(tpl);
    // A repeated tag, or more instances than a multi-template holds.
    if (rc == QX_RC_BAD_ARGUMENT || rc == QX_RC_UNSUPPORTED) return QX_RC_BAD_DATA;
    if (rc != QX_RC_OK) return rc;
    return read_records(&instance->records, nbr_records);
  }

 private:
  qx_template *source_;
  qx_multitemplate *mt_;
  int version_;
  bool refer_;
  Reader in_;
};

int32_t decode_into(qx_template *tpl, qx_multitemplate *mt) {
  const uint8_t *data = qx_template_get_data(tpl);
  const uint32_t size = qx_template_get_data_size(tpl);
  if (size < kHeaderSize || data == nullptr || std::memcmp(data, kMagic, 4) != 0) {
    return QX_RC_BAD_DATA;
  }
  const int version = data[5];
  if (version < 1 || version > 3) return QX_RC_BAD_DATA;
  const uint8_t declared = data[6];
  const uint8_t nbr_global = data[7];

  Decoder dec(tpl, mt, version);
  Reader &in = dec.reader();
  int32_t rc = QX_RC_OK;
  if (version == 3) {
    rc = dec.read_records(&mt->global, nbr_global);
    if (rc != QX_RC_OK) return rc;
    uint32_t read = 0;
    while (declared == kCountToEnd || read < declared) {
      if (in.left() < kInstanceHead || qx_fmt::get32(in.here()) == kStopTag) break;
      rc = dec.read_instance();
      if (rc != QX_RC_OK) return rc;
      ++read;
    }
  } else {
    for (uint32_t i = 0; i < declared; ++i) {
      rc = dec.read_instance();
      if (rc != QX_RC_OK) return rc;
    }
    rc = dec.read_records(&mt->global, nbr_global);
    if (rc != QX_RC_OK) return rc;
  }
  // What follows must be nothing or erased flash.
  if (!in.rest_is_erased()) return QX_RC_BAD_DATA;
  if (declared != kCountToEnd && declared != mt->count) return QX_RC_BAD_DATA;
  return QX_RC_OK;
}

}  // namespace

extern "C" {

uint32_t qx_multitemplate_encode_size(const qx_multitemplate *mt) {
  if (mt == nullptr) return 0;
  bool representable = true;
  const uint64_t size = encoding_size(mt, &representable);
  return size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size);
}

int32_t qx_multitemplate_encode(const qx_multitemplate *mt, qx_template **out) {
  if (out != nullptr) *out = nullptr;
  if (mt == nullptr || out == nullptr) return QX_RC_BAD_ARGUMENT;
  bool representable = true;
  const uint64_t size = encoding_size(mt, &representable);
  // 256 records in one owner, or a type code above 255, have no encoding.
  if (!representable) return QX_RC_UNSUPPORTED;
  if (size > UINT32_MAX) return QX_RC_NO_MEMORY;
  qx::Buffer<uint8_t> bytes;
  if (!bytes.alloc(static_cast<size_t>(size))) return QX_RC_NO_MEMORY;
  uint8_t *p = bytes.get();
  std::memcpy(p, kMagic, 4);
  p[4] = 0;
  p[5] = QX_MT_VERSION;
  p[6] = kCountToEnd;
  size_t nbr_global = 0;
  records_size(mt->global, &nbr_global);
  p[7] = static_cast<uint8_t>(nbr_global);
  p = write_records(p + kHeaderSize, mt->global);
  for (const qx_mt_instance *in = mt->first; in != nullptr; in = in->next) {
    size_t nbr_records = 0;
    records_size(in->records, &nbr_records);
    const uint32_t n = qx_template_get_data_size(in->tpl);
    qx_fmt::put32(p, in->tag == -1 ? kWrittenMinusOne : static_cast<uint32_t>(in->tag));
    p[4] = static_cast<uint8_t>(nbr_records);
    p[5] = static_cast<uint8_t>(qx_template_get_type(in->tpl));
    qx_fmt::put32(p + 6, n);
    if (n != 0) std::memcpy(p + kInstanceHead, qx_template_get_data(in->tpl), n);
    p = write_records(p + kInstanceHead + n, in->records);
  }
  *out = qx_template_create(QX_TEMPLATE_MULTITEMPLATE, bytes.get(), static_cast<uint32_t>(size));
  return *out != nullptr ? QX_RC_OK : QX_RC_NO_MEMORY;
}

int32_t qx_multitemplate_decode(qx_template *tpl, qx_multitemplate **out) {
  if (out != nullptr) *out = nullptr;
  if (tpl == nullptr || out == nullptr) return QX_RC_BAD_ARGUMENT;
  if (qx_template_get_type(tpl) != QX_TEMPLATE_MULTITEMPLATE) return QX_RC_UNSUPPORTED;
  qx_multitemplate *mt = qx_multitemplate_create();
  if (mt == nullptr) return QX_RC_NO_MEMORY;
  const int32_t rc = decode_into(tpl, mt);
  if (rc != QX_RC_OK) {
    qx_multitemplate_delete(mt);
    return rc;
  }
  *out = mt;
  return QX_RC_OK;
}

}  // extern "C"
