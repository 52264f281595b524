// The multi-template encoding: exact layout, round trips, slot padding,
// the older versions and malformed bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "engine/objects/qx_multitemplate.h"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"
#include "lumetra/support/multitemplate_desc.h"

namespace {

constexpr size_t kSlotSize = 32760;

// The bytes in a heap block of exactly their size, so that the sanitizer
// reports any read past the end.
struct ExactBytes {
  explicit ExactBytes(const std::vector<uint8_t> &v) : size(v.size()), p(new uint8_t[v.size()]) {
    if (size != 0) std::memcpy(p.get(), v.data(), size);
  }
  size_t size;
  std::unique_ptr<uint8_t[]> p;
};

// Decodes the bytes (copied into an owning template); the result code.
int32_t decode_rc(const std::vector<uint8_t> &bytes, qx_multitemplate **out = nullptr) {
  ExactBytes exact(bytes);
  qx_template *t = qx_template_create_mre(80, exact.p.get(), static_cast<uint32_t>(exact.size),
                                          1, nullptr, nullptr);  // constant: instances copy
  qx_multitemplate *mt = nullptr;
  const int32_t rc = qx_multitemplate_decode(t, &mt);
  qx_template_delete(t);
  if (out != nullptr) *out = mt; else qx_multitemplate_delete(mt);
  return rc;
}

std::vector<uint8_t> encode(const qx_multitemplate *mt) {
  qx_template *t = nullptr;
  EXPECT_EQ(qx_multitemplate_encode(mt, &t), QX_RC_OK);
  std::vector<uint8_t> bytes = mtdesc::bytes_of(t);
  EXPECT_EQ(qx_template_get_type(t), 80);
  qx_template_delete(t);
  return bytes;
}

// Encoding of a decoded copy of the bytes.
std::vector<uint8_t> reencode(const std::vector<uint8_t> &bytes) {
  qx_multitemplate *mt = nullptr;
  EXPECT_EQ(decode_rc(bytes, &mt), QX_RC_OK);
  if (mt == nullptr) return {};
  std::vector<uint8_t> again = encode(mt);
  qx_multitemplate_delete(mt);
  return again;
}

std::vector<uint8_t> padded(std::vector<uint8_t> bytes, size_t size = kSlotSize) {
  bytes.resize(size, 0xFF);
  return bytes;
}

TEST(MultitemplateEncoding, ExactLayout) {
  mtdesc::Desc d;
  d.global = {{1, {16, 12, 3, 0, 0, 0x7F, 0xF8}}};
  d.instances = {{-1, 67, {0xAA, 0xBB}, {{2, {5}}}}, {0x12345678, 72, {}, {}}};
  qx_multitemplate *mt = mtdesc::build(d);
  ASSERT_NE(mt, nullptr);
  const std::vector<uint8_t> expected = {
      'Q', 'X', 'M', 'T', 0, 3, 255, 1,                        // header
      1, 0, 7, 16, 12, 3, 0, 0, 0x7F, 0xF8,                    // global record 1
      0x80, 0, 0, 0, 1, 67, 0, 0, 0, 2, 0xAA, 0xBB, 2, 0, 1, 5,  // tag -1
      0x12, 0x34, 0x56, 0x78, 0, 72, 0, 0, 0, 0};              // empty template
  EXPECT_EQ(encode(mt), expected);
  EXPECT_EQ(qx_multitemplate_encode_size(mt), expected.size());

  // Tag -1 is read back as -1, and the record lists are the same.
  qx_multitemplate *back = nullptr;
  ASSERT_EQ(decode_rc(expected, &back), QX_RC_OK);
  qx_template *t = qx_multitemplate_get_instance(back, -1);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(mtdesc::bytes_of(t), (std::vector<uint8_t>{0xAA, 0xBB}));
  EXPECT_EQ(qx_template_get_type(t), 67);
  qx_template_delete(t);
  EXPECT_EQ(qx_multitemplate_get_instance_island(back, -1), 5);
  qx_multitemplate_delete(back);
  qx_multitemplate_delete(mt);
}

TEST(MultitemplateEncoding, EmptyWithManagerRecordIsEighteenBytes) {
  qx_multitemplate *mt = qx_multitemplate_create();
  const uint8_t params[7] = {32, 12, 3, 0, 0, 0, 0};
  ASSERT_EQ(qx_multitemplate_add_metadata(mt, QX_MT_GLOBAL_TAG, 1, params, 7), 0);
  EXPECT_EQ(qx_multitemplate_encode_size(mt), 18u);
  EXPECT_EQ(encode(mt).size(), 18u);
  qx_multitemplate_delete(mt);
}

TEST(MultitemplateEncoding, RoundTripsOneToNinetySixInstances) {
  std::mt19937 rng(19);
  for (int n = 1; n <= 96; ++n) {
    SCOPED_TRACE(n);
    const mtdesc::Desc d = mtdesc::random_desc(rng, n, n <= 64 ? 400 : 200);
    qx_multitemplate *mt = mtdesc::build(d);
    ASSERT_NE(mt, nullptr);
    const std::vector<uint8_t> bytes = encode(mt);
    // The engine writes exactly what the layout says.
    EXPECT_EQ(bytes, mtdesc::encode(d, 3));
    EXPECT_EQ(qx_multitemplate_encode_size(mt), bytes.size());
    EXPECT_EQ(reencode(bytes), bytes);
    // In a slot: padded with erased flash.
    if (bytes.size() <= kSlotSize) {
      EXPECT_EQ(reencode(padded(bytes)), bytes);
    }
    // Versions 1 and 2 of the same content read to the same object
    // (version 1 only while every template fits 16 bits).
    EXPECT_EQ(reencode(mtdesc::encode(d, 2)), bytes);
    EXPECT_EQ(reencode(padded(mtdesc::encode(d, 1), mtdesc::encode(d, 1).size() + 5)), bytes);
    // Byte 6 may also give the exact count.
    EXPECT_EQ(reencode(mtdesc::encode(d, 3, n)), bytes);
    qx_multitemplate_delete(mt);
  }
}

TEST(MultitemplateEncoding, PaddingMustBeErasedFlash) {
  std::mt19937 rng(7);
  const mtdesc::Desc d = mtdesc::random_desc(rng, 5);
  const std::vector<uint8_t> bytes = mtdesc::encode(d, 3);
  std::vector<uint8_t> slot = padded(bytes);
  EXPECT_EQ(decode_rc(slot), QX_RC_OK);
  for (size_t at : {bytes.size(), bytes.size() + 4, bytes.size() + 9, kSlotSize - 1}) {
    std::vector<uint8_t> bad = slot;
    bad[at] = 0xFE;
    EXPECT_EQ(decode_rc(bad), QX_RC_BAD_DATA) << at;
  }
  std::vector<uint8_t> one_more = bytes;
  one_more.push_back(0x00);
  EXPECT_EQ(decode_rc(one_more), QX_RC_BAD_DATA);
  // Versions 1 and 2 accept padding as well, and refuse anything else.
  std::vector<uint8_t> v2 = padded(mtdesc::encode(d, 2), bytes.size() + 100);
  EXPECT_EQ(decode_rc(v2), QX_RC_OK);
  v2.back() = 0x7F;
  EXPECT_EQ(decode_rc(v2), QX_RC_BAD_DATA);
}

TEST(MultitemplateEncoding, VersionThreeStopTag) {
  mtdesc::Desc d;
  d.instances = {{1, 67, {1, 2, 3}, {}}, {2, 67, {4}, {}}};
  std::vector<uint8_t> bytes = mtdesc::encode(d, 3);
  const size_t end = bytes.size();
  // A stop tag, then erased flash: the list ends there.
  std::vector<uint8_t> stopped = bytes;
  mtdesc::put(stopped, 0xFFFFFFFFu, 4);
  stopped.resize(end + 40, 0xFF);
  qx_multitemplate *mt = nullptr;
  ASSERT_EQ(decode_rc(stopped, &mt), QX_RC_OK);
  EXPECT_EQ(qx_multitemplate_get_nbr_of_instances(mt), 2);
  qx_multitemplate_delete(mt);
  // After the stop tag only 0xFF may follow, even what looks like an instance.
  std::vector<uint8_t> more = bytes;
  mtdesc::put(more, 0xFFFFFFFFu, 4);
  mtdesc::put_instance(more, {3, 67, {9}, {}}, 3);
  EXPECT_EQ(decode_rc(more), QX_RC_BAD_DATA);
  // Byte 6 below the instances present: the rest is not padding.
  EXPECT_EQ(decode_rc(mtdesc::encode(d, 3, 1)), QX_RC_BAD_DATA);
  EXPECT_EQ(decode_rc(mtdesc::encode(d, 3, 0)), QX_RC_BAD_DATA);
  // Byte 6 above them: fewer instances than announced.
  EXPECT_EQ(decode_rc(mtdesc::encode(d, 3, 3)), QX_RC_BAD_DATA);
  EXPECT_EQ(decode_rc(padded(mtdesc::encode(d, 3, 3))), QX_RC_BAD_DATA);
  // Byte 6 = 0 and nothing after the globals: an empty multi-template.
  mtdesc::Desc empty;
  EXPECT_EQ(decode_rc(mtdesc::encode(empty, 3, 0)), QX_RC_OK);
  EXPECT_EQ(decode_rc(padded(mtdesc::encode(empty, 3, 0))), QX_RC_OK);
}

TEST(MultitemplateEncoding, OlderVersionsReadTheirOwnLayout) {
  mtdesc::Desc d;
  d.global = {{1, {8, 18, 0, 0, 0, 0, 0}}};
  // In versions 1 and 2, 0xFFFFFFFF is an ordinary tag (-1).
  d.instances = {{7, 67, {1, 2, 3, 4}, {{1, {0, 1, 0, 2, 3, 0}}}}, {-2, 67, {5}, {}}};
  for (int version : {1, 2}) {
    SCOPED_TRACE(version);
    std::vector<uint8_t> bytes = mtdesc::encode(d, version);
    qx_multitemplate *mt = nullptr;
    ASSERT_EQ(decode_rc(bytes, &mt), QX_RC_OK);
    EXPECT_EQ(encode(mt), mtdesc::encode(d, 3));
    qx_multitemplate_delete(mt);
    mtdesc::Desc minus_one = d;
    minus_one.instances[1].tag = -1;
    bytes = mtdesc::encode(minus_one, version);
    // The second tag, stored as 0xFFFFFFFF.
    for (int i = 0; i < 4; ++i) bytes[8 + (version == 1 ? 8 : 10) + 4 + 9 + i] = 0xFF;
    ASSERT_EQ(decode_rc(bytes, &mt), QX_RC_OK);
    qx_template *t = qx_multitemplate_get_instance(mt, -1);
    EXPECT_NE(t, nullptr);
    qx_template_delete(t);
    qx_multitemplate_delete(mt);
  }
}

TEST(MultitemplateEncoding, HeaderMustBeRight) {
  std::mt19937 rng(3);
  const std::vector<uint8_t> good = mtdesc::encode(mtdesc::random_desc(rng, 2), 3);
  ASSERT_EQ(decode_rc(good), QX_RC_OK);
  for (int i = 0; i < 4; ++i) {
    std::vector<uint8_t> bad = good;
    bad[i] ^= 0x20;
    EXPECT_EQ(decode_rc(bad), QX_RC_BAD_DATA) << i;
  }
  for (uint8_t version : {0, 4, 255}) {
    std::vector<uint8_t> bad = good;
    bad[5] = version;
    EXPECT_EQ(decode_rc(bad), QX_RC_BAD_DATA) << int(version);
  }
  for (size_t n = 0; n < 8; ++n) {
    EXPECT_EQ(decode_rc(std::vector<uint8_t>(good.begin(), good.begin() + n)), QX_RC_BAD_DATA);
  }
  // Not a multi-template, or none at all.
  qx_template *t = qx_template_create(67, good.data(), static_cast<uint32_t>(good.size()));
  qx_multitemplate *mt = reinterpret_cast<qx_multitemplate *>(&t);  // must be cleared
  EXPECT_EQ(qx_multitemplate_decode(t, &mt), QX_RC_UNSUPPORTED);
  EXPECT_EQ(mt, nullptr);
  EXPECT_EQ(qx_multitemplate_decode(nullptr, &mt), QX_RC_BAD_ARGUMENT);
  EXPECT_EQ(qx_multitemplate_decode(t, nullptr), QX_RC_BAD_ARGUMENT);
  qx_template_delete(t);
}

// Every prefix of a valid encoding either fails with 3 or, when it ends
// exactly between instances, reads the instances before the cut.
TEST(MultitemplateEncoding, TruncatedBytesNeverReadPastTheEnd) {
  std::mt19937 rng(11);
  for (int version : {1, 2, 3}) {
    const mtdesc::Desc d = mtdesc::random_desc(rng, 4, 40);
    const std::vector<uint8_t> bytes = mtdesc::encode(d, version);
    for (size_t n = 0; n < bytes.size(); ++n) {
      qx_multitemplate *mt = nullptr;
      const int32_t rc = decode_rc(std::vector<uint8_t>(bytes.begin(), bytes.begin() + n), &mt);
      if (rc == QX_RC_OK) {
        EXPECT_EQ(version, 3) << n;
        EXPECT_LT(qx_multitemplate_get_nbr_of_instances(mt), 4) << n;
      } else {
        EXPECT_EQ(rc, QX_RC_BAD_DATA) << version << " " << n;
      }
      qx_multitemplate_delete(mt);
    }
  }
}

TEST(MultitemplateEncoding, MalformedLengthsAndRepeats) {
  mtdesc::Desc d;
  d.global = {{1, {1, 2}}};
  d.instances = {{1, 67, {1, 2, 3}, {{2, {1}}}}};
  const std::vector<uint8_t> good = mtdesc::encode(d, 3);
  // Global record length past the end.
  std::vector<uint8_t> bad = good;
  bad[10] = 0xFF;
  EXPECT_EQ(decode_rc(bad), QX_RC_BAD_DATA);
  // Template size past the end (padding present: still refused).
  bad = padded(good, good.size() + 20);
  bad[8 + 5 + 9] = 0x40;
  EXPECT_EQ(decode_rc(bad), QX_RC_BAD_DATA);
  // More instance records announced than present.
  bad = good;
  bad[8 + 5 + 4] = 2;
  EXPECT_EQ(decode_rc(bad), QX_RC_BAD_DATA);
  EXPECT_EQ(decode_rc(padded(bad)), QX_RC_BAD_DATA);  // 0xFF 0xFF 0xFF: length 65535
  // More global records announced than present.
  bad = good;
  bad[7] = 9;
  EXPECT_EQ(decode_rc(bad), QX_RC_BAD_DATA);

  // A repeated key replaces the earlier record; a repeated tag is refused.
  mtdesc::Desc rep = d;
  rep.instances[0].records = {{2, {1}}, {2, {6}}};
  rep.global = {{1, {1}}, {1, {2, 3}}};
  qx_multitemplate *mt = nullptr;
  ASSERT_EQ(decode_rc(mtdesc::encode(rep, 3), &mt), QX_RC_OK);
  EXPECT_EQ(qx_multitemplate_get_instance_island(mt, 1), 6);
  uint16_t length = 0;
  EXPECT_NE(qx_multitemplate_get_metadata(mt, QX_MT_GLOBAL_TAG, 1, &length), nullptr);
  EXPECT_EQ(length, 2);
  qx_multitemplate_delete(mt);
  rep = d;
  rep.instances.push_back(d.instances[0]);
  EXPECT_EQ(decode_rc(mtdesc::encode(rep, 3)), QX_RC_BAD_DATA);
  // 0x80000000 and 0xFFFFFFFF both mean -1 in version 2.
  rep.instances[0].tag = -1;
  rep.instances[1].tag = -1;
  std::vector<uint8_t> v2 = mtdesc::encode(rep, 2);
  EXPECT_EQ(decode_rc(v2), QX_RC_BAD_DATA);
}

TEST(MultitemplateEncoding, MoreInstancesThanAMultitemplateHolds) {
  mtdesc::Desc d;
  for (int i = 0; i < 256; ++i) d.instances.push_back({i + 1, 67, {}, {}});
  EXPECT_EQ(decode_rc(mtdesc::encode(d, 3)), QX_RC_BAD_DATA);
  d.instances.pop_back();
  qx_multitemplate *mt = nullptr;
  ASSERT_EQ(decode_rc(mtdesc::encode(d, 3), &mt), QX_RC_OK);
  EXPECT_EQ(qx_multitemplate_get_nbr_of_instances(mt), 255);
  qx_multitemplate_delete(mt);
}

TEST(MultitemplateEncoding, CountsThatDoNotFitAByteAreNotEncoded) {
  qx_multitemplate *mt = qx_multitemplate_create();
  for (int key = 0; key < 256; ++key) {
    ASSERT_EQ(qx_multitemplate_add_metadata(mt, QX_MT_GLOBAL_TAG, static_cast<uint8_t>(key),
                                            nullptr, 0), 0);
  }
  qx_template *out = nullptr;
  EXPECT_EQ(qx_multitemplate_encode(mt, &out), QX_RC_UNSUPPORTED);
  EXPECT_EQ(out, nullptr);
  qx_multitemplate_remove_metadata(mt, QX_MT_GLOBAL_TAG, 0);
  EXPECT_EQ(qx_multitemplate_encode(mt, &out), QX_RC_OK);
  qx_template_delete(out);
  qx_multitemplate_delete(mt);
}

TEST(MultitemplateEncoding, InstancesReferToMemoryReferencedSource) {
  std::mt19937 rng(5);
  const mtdesc::Desc d = mtdesc::random_desc(rng, 3);
  const std::vector<uint8_t> bytes = padded(mtdesc::encode(d, 3));
  ExactBytes slot(bytes);
  qx_template *source = qx_template_create_mr(80, slot.p.get(), static_cast<uint32_t>(slot.size));
  qx_multitemplate *mt = nullptr;
  ASSERT_EQ(qx_multitemplate_decode(source, &mt), QX_RC_OK);
  EXPECT_EQ(qx_template_get_num_refs(source), 4);  // one per instance
  qx_template *t = qx_multitemplate_get_instance_for_index(mt, 1, nullptr);
  const uint8_t *p = qx_template_get_data(t);
  EXPECT_GE(p, slot.p.get());
  EXPECT_LT(p, slot.p.get() + slot.size);
  qx_template_delete(t);
  // The source may be released first: the instances keep it alive.
  qx_template_delete(source);
  EXPECT_EQ(mtdesc::encode(d, 3), encode(mt));
  qx_multitemplate_delete(mt);

  // A constant or owning source: the instances copy.
  for (int owning : {0, 1}) {
    qx_template *src = owning ? qx_template_create(80, bytes.data(), static_cast<uint32_t>(bytes.size()))
                              : qx_template_create_mre(80, slot.p.get(),
                                                       static_cast<uint32_t>(slot.size), 1,
                                                       nullptr, nullptr);
    ASSERT_EQ(qx_multitemplate_decode(src, &mt), QX_RC_OK);
    EXPECT_EQ(qx_template_get_num_refs(src), 1);
    t = qx_multitemplate_get_instance_for_index(mt, 0, nullptr);
    EXPECT_EQ(qx_template_is_mr(t), 0);
    qx_template_delete(t);
    qx_template_delete(src);
    qx_multitemplate_delete(mt);
  }
}

TEST(MultitemplateEncoding, OutOfMemoryAnswersNineAndLeaksNothing) {
  std::mt19937 rng(23);
  const mtdesc::Desc d = mtdesc::random_desc(rng, 6);
  const std::vector<uint8_t> bytes = padded(mtdesc::encode(d, 3), 9000);
  ExactBytes slot(bytes);
  const long live = qx_alloc_live();
  for (int referring : {0, 1}) {
    qx_template *src = referring
                           ? qx_template_create_mr(80, slot.p.get(), static_cast<uint32_t>(slot.size))
                           : qx_template_create(80, bytes.data(), static_cast<uint32_t>(bytes.size()));
    const long with_source = qx_alloc_live();
    bool succeeded = false;
    for (long n = 0; !succeeded && n < 1000; ++n) {
      qx_multitemplate *mt = nullptr;
      qx_alloc_fail_after(n);
      const int32_t rc = qx_multitemplate_decode(src, &mt);
      const bool fired = !qx_alloc_fail_pending();
      qx_alloc_fail_after(-1);
      if (rc == QX_RC_OK) {
        EXPECT_FALSE(fired) << n;
        succeeded = true;
        qx_template *out = nullptr;
        // Encoding under the same treatment.
        for (long m = 0;; ++m) {
          qx_alloc_fail_after(m);
          const int32_t erc = qx_multitemplate_encode(mt, &out);
          qx_alloc_fail_after(-1);
          if (erc == QX_RC_OK) break;
          EXPECT_EQ(erc, QX_RC_NO_MEMORY) << m;
          EXPECT_EQ(out, nullptr);
        }
        EXPECT_EQ(mtdesc::bytes_of(out), mtdesc::encode(d, 3));
        qx_template_delete(out);
        qx_multitemplate_delete(mt);
      } else {
        EXPECT_EQ(rc, QX_RC_NO_MEMORY) << n;
        EXPECT_EQ(mt, nullptr);
        EXPECT_EQ(qx_template_get_num_refs(src), 1) << n;
        EXPECT_EQ(qx_alloc_live(), with_source) << n;
      }
    }
    EXPECT_TRUE(succeeded);
    qx_template_delete(src);
  }
  EXPECT_EQ(qx_alloc_live(), live);
}

}  // namespace
