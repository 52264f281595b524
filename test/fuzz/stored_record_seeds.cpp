// Seeds of the stored-record fuzz target: the records a host stores for a
// generated finger, made through the exports as a host makes them.
//
//   stored_record_seeds OUTDIR
//
// writes one file per record, each as the lumetra command writes template
// files (the record's 8 header bytes and its `length` data bytes):
//   saved        what nerio_qx_save_tpl hands over after a full enrollment;
//   reloaded     nerio_qx_get_tpl after init_alg_tpl_data of `saved`: the
//                whole 32760-byte area with its erased padding;
//   updated_<n>  nerio_qx_get_tpl after a verification that updated the
//                template with probe n;
//   few          an enrollment of four captures;
//   other        another finger's record, which the probes do not match;
//   single_<n>   the one template the algorithm extracts from probe n, as a
//                record of its own type: a host may load a record of
//                another type than the enrolled multi-template, and the
//                probe it was made from is accepted against it, which is
//                where an update must not be tried.
// Byte 1 and 2 of a record are unused by the library; the fuzz target
// reads them as the probe and the verification mode (see
// fuzz_stored_record.cpp), and every seed names the probe it was made for.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/lumetra_tools.h"
#include "engine/objects/qx_template.h"
#include "lumetra.h"
#include "stored_record_finger.h"

namespace {

constexpr size_t kHeaderBytes = 8;

bool write_record(const std::string &dir, const std::string &name, const tpl_record &r,
                  uint8_t probe, uint8_t mode) {
  std::vector<uint8_t> bytes(kHeaderBytes + r.length);
  bytes[0] = r.type;
  bytes[1] = probe;
  bytes[2] = mode;
  for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<uint8_t>(r.length >> (8 * i));
  std::copy(r.data, r.data + r.length, bytes.begin() + kHeaderBytes);
  const std::string path = dir + "/" + name;
  FILE *f = std::fopen(path.c_str(), "wb");
  bool ok = f != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (f != nullptr && std::fclose(f) != 0) ok = false;
  if (!ok) std::fprintf(stderr, "stored_record_seeds: cannot write %s\n", path.c_str());
  return ok;
}

bool enroll(const std::vector<fpsynth::Image> &captures, size_t count, tpl_record *record) {
  unsigned char progress = 0;
  for (size_t i = 0; i < count && i < captures.size(); ++i)
    if (nerio_qx_enroll_Image(captures[i].pixels.data(), 0, i > 0 ? 1 : 0, &progress) != 0)
      return false;
  return nerio_qx_save_tpl(0, record) == 0 && record->length > 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: stored_record_seeds OUTDIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  set_fp_sensor_col_row(stored_record::kSensorSide, stored_record::kSensorSide);
  set_fp_max_nbr_subtemplate(stored_record::kMaxSubtemplates);
  if (init_nerio_algorithm() != 0) {
    std::fprintf(stderr, "stored_record_seeds: no algorithm for the sensor\n");
    return 1;
  }
  const stored_record::Finger finger = stored_record::make_finger(stored_record::kFingerSeed);
  const stored_record::Finger other = stored_record::make_finger(stored_record::kOtherFingerSeed);
  auto saved = std::make_unique<tpl_record>();
  auto record = std::make_unique<tpl_record>();
  bool ok = enroll(finger.captures, finger.captures.size(), saved.get()) &&
            write_record(dir, "saved", *saved, 0, 0);

  // The host's start-up: the stored record back into its slot.
  ok = ok && init_alg_tpl_data(0, saved.get()) == 0 && nerio_qx_get_tpl(0, record.get()) == 0 &&
       write_record(dir, "reloaded", *record, 1, 1);

  // Verifications that teach the template, each record read back after it.
  set_fp_dyn_update_flg(1);
  int updates = 0;
  for (size_t p = 0; ok && p < finger.probes.size(); ++p) {
    int matched = -1, updated = 0;
    if (nerio_qx_verify(finger.probes[p].pixels.data(), &matched, &updated, 0) != 0 || !updated)
      continue;
    ok = nerio_qx_get_tpl(0, record.get()) == 0 &&
         write_record(dir, "updated_" + std::to_string(p), *record, static_cast<uint8_t>(p + 1),
                      static_cast<uint8_t>(p % 3));
    ++updates;
  }
  ok = ok && enroll(finger.captures, 4, record.get()) && write_record(dir, "few", *record, 2, 0);
  ok = ok && enroll(other.captures, other.captures.size(), record.get()) &&
       write_record(dir, "other", *record, 3, 2);
  for (size_t p : {size_t{0}, size_t{5}}) {
    lumetra_tools_template *single = nullptr;
    const fpsynth::Image &probe = finger.probes[p];
    if (!ok || lumetra_tools_extract(probe.pixels.data(), probe.rows, probe.cols, &single) != 0) {
      ok = false;
      break;
    }
    // The tools' template is the engine's.
    const qx_template *t = reinterpret_cast<const qx_template *>(single);
    std::memset(record.get(), 0, sizeof *record);
    record->type = static_cast<unsigned char>(qx_template_get_type(t));
    record->length = qx_template_get_data_size(t);
    ok = record->length <= LUMETRA_TPL_MAX_BYTES;
    if (ok) std::memcpy(record->data, qx_template_get_data(t), record->length);
    lumetra_tools_template_delete(single);
    ok = ok && write_record(dir, "single_" + std::to_string(p), *record, static_cast<uint8_t>(p), 0);
  }
  uninit_nerio_algorithm();
  if (!ok) {
    std::fprintf(stderr, "stored_record_seeds: an enrollment or a record failed\n");
    return 1;
  }
  std::printf("stored_record_seeds: %d updated records of %zu probes\n", updates,
              finger.probes.size());
  return updates > 0 ? 0 : 1;
}
