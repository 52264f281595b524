// Test helper: a plain description of a multi-template, an encoder of its
// own for every version (written from the byte layout, independent of the
// engine's), and a builder of the engine object from a description.
#ifndef TEST_LUMETRA_SUPPORT_MULTITEMPLATE_DESC_H
#define TEST_LUMETRA_SUPPORT_MULTITEMPLATE_DESC_H

#include <cstdint>
#include <random>
#include <vector>

#include "engine/objects/qx_multitemplate.h"
#include "engine/objects/qx_template.h"

namespace mtdesc {

struct Record {
  uint8_t key;
  std::vector<uint8_t> data;
};

struct Instance {
  int32_t tag;
  uint8_t type;
  std::vector<uint8_t> bytes;
  std::vector<Record> records;  // list order (front first)
};

struct Desc {
  std::vector<Record> global;  // list order
  std::vector<Instance> instances;
};

inline void put(std::vector<uint8_t> &out, uint32_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline void put_records(std::vector<uint8_t> &out, const std::vector<Record> &records) {
  for (const Record &r : records) {
    out.push_back(r.key);
    put(out, static_cast<uint32_t>(r.data.size()), 2);
    out.insert(out.end(), r.data.begin(), r.data.end());
  }
}

inline void put_instance(std::vector<uint8_t> &out, const Instance &in, int version) {
  put(out, in.tag == -1 ? 0x80000000u : static_cast<uint32_t>(in.tag), 4);
  out.push_back(static_cast<uint8_t>(in.records.size()));
  out.push_back(in.type);
  put(out, static_cast<uint32_t>(in.bytes.size()), version == 1 ? 2 : 4);
  out.insert(out.end(), in.bytes.begin(), in.bytes.end());
  put_records(out, in.records);
}

// count_byte: byte 6 as written (255 = to the end; versions 1 and 2 need
// the real count).
inline std::vector<uint8_t> encode(const Desc &d, int version, int count_byte = -1) {
  std::vector<uint8_t> out = {0x51, 0x58, 0x4D, 0x54, 0, static_cast<uint8_t>(version)};
  if (count_byte < 0) count_byte = version == 3 ? 255 : static_cast<int>(d.instances.size());
  out.push_back(static_cast<uint8_t>(count_byte));
  out.push_back(static_cast<uint8_t>(d.global.size()));
  if (version == 3) put_records(out, d.global);
  for (const Instance &in : d.instances) put_instance(out, in, version);
  if (version != 3) put_records(out, d.global);
  return out;
}

// A random description: distinct tags (including -1 now and then), unique
// keys per owner, templates of a few hundred bytes.
inline Desc random_desc(std::mt19937 &rng, int nbr_instances, int max_template = 400) {
  auto uniform = [&rng](int lo, int hi) {
    return std::uniform_int_distribution<int>(lo, hi)(rng);
  };
  auto records = [&](int max_records) {
    std::vector<Record> out;
    std::vector<bool> used(256, false);
    const int n = uniform(0, max_records);
    for (int i = 0; i < n; ++i) {
      const int key = uniform(0, 255);
      if (used[key]) continue;
      used[key] = true;
      Record r{static_cast<uint8_t>(key), {}};
      r.data.resize(uniform(0, 12));
      for (auto &b : r.data) b = static_cast<uint8_t>(uniform(0, 255));
      out.push_back(r);
    }
    return out;
  };
  Desc d;
  d.global = records(4);
  std::vector<int32_t> tags;
  for (int i = 0; i < nbr_instances; ++i) {
    int32_t tag;
    bool fresh;
    do {
      tag = uniform(0, 9) == 0 ? -1 : uniform(-1000, 100000);
      fresh = true;
      for (int32_t t : tags) fresh = fresh && t != tag;
    } while (!fresh);
    tags.push_back(tag);
    Instance in{tag, static_cast<uint8_t>(uniform(0, 9) < 7 ? 67 : 72), {}, records(3)};
    in.bytes.resize(uniform(0, max_template));
    for (auto &b : in.bytes) b = static_cast<uint8_t>(uniform(0, 255));
    d.instances.push_back(in);
  }
  return d;
}

// The engine object for a description, built through the public
// operations (records added last-first: new records go to the front).
inline qx_multitemplate *build(const Desc &d) {
  qx_multitemplate *mt = qx_multitemplate_create();
  if (mt == nullptr) return nullptr;
  bool ok = true;
  for (const Instance &in : d.instances) {
    qx_template *t = qx_template_create(in.type, in.bytes.data(),
                                        static_cast<uint32_t>(in.bytes.size()));
    ok = ok && t != nullptr && qx_multitemplate_add_instance(mt, in.tag, t) == 0;
    qx_template_delete(t);
    for (auto r = in.records.rbegin(); ok && r != in.records.rend(); ++r) {
      ok = qx_multitemplate_add_metadata(mt, in.tag, r->key, r->data.data(),
                                         static_cast<uint16_t>(r->data.size())) == 0;
    }
  }
  for (auto r = d.global.rbegin(); ok && r != d.global.rend(); ++r) {
    ok = qx_multitemplate_add_metadata(mt, QX_MT_GLOBAL_TAG, r->key, r->data.data(),
                                       static_cast<uint16_t>(r->data.size())) == 0;
  }
  if (!ok) {
    qx_multitemplate_delete(mt);
    return nullptr;
  }
  return mt;
}

inline std::vector<uint8_t> bytes_of(const qx_template *t) {
  const uint8_t *p = qx_template_get_data(t);
  return std::vector<uint8_t>(p, p + qx_template_get_data_size(t));
}

}  // namespace mtdesc

#endif
