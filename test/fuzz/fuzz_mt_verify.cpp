// Fuzzes verification against multi-templates from outside bytes: the
// bytes are an enrolled multi-template walked by a verifier chain whose
// scores and alignments are derived from the subtemplates' own bytes (so
// every decoded shape reaches the candidate lists, the coherence state
// and its footprint geometry), and also a probe whose dimensions the
// coherence verifier reads.
#include <array>
#include <cstdint>

#include "engine/match/mt_coherence.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_mt_verify.h"
#include "engine/qx_alloc.h"

namespace {

uint32_t mix(const qx_template *t) {
  uint32_t h = 2166136261u;
  const uint8_t *d = qx_template_get_data(t);
  for (uint32_t i = 0; d != nullptr && i < qx_template_get_data_size(t); ++i) h = (h ^ d[i]) * 16777619u;
  return h;
}

int32_t extract(qx_session *, qx_template *a, qx_template *, uint16_t **scores, uint8_t *count,
                qx_alignment **alignment) {
  const uint32_t h = mix(a);
  *scores = static_cast<uint16_t *>(qx_malloc(sizeof(uint16_t)));
  if (*scores == nullptr) return 9;
  (*scores)[0] = static_cast<uint16_t>(h);
  *count = 1;
  if (alignment != nullptr)
    *alignment = qx_alignment_create(static_cast<int8_t>(h >> 8), static_cast<int8_t>(h >> 16),
                                     static_cast<uint8_t>(h >> 24));
  return 0;
}
int32_t combine(qx_session *, qx_template *, qx_template *, const uint16_t *s, uint8_t count,
                int32_t, uint16_t *score, int32_t *decision, const qx_vermodel *) {
  *score = s[count - 1];
  if (decision != nullptr) *decision = 0;
  return 0;
}
int32_t decide(qx_session *, qx_template *, const void *, uint16_t score, int32_t,
               int32_t *decision, const qx_vermodel *) {
  *decision = score > 65000 ? 1 : 0;
  return 0;
}
const qx_verifier_interface kVerifier = {nullptr, decide, nullptr, nullptr, extract, combine};

std::array<qx_vermodel_coefficient, 24> coefficients() {
  std::array<qx_vermodel_coefficient, 24> c{};
  for (auto &r : c) {
    r.upper = 65535;
    r.scale = 65536;
    r.weight = 1;
  }
  return c;
}
const auto kCoefficients = coefficients();
const std::array<uint16_t, QX_THRESHOLD_ROWS * QX_THRESHOLD_COLUMNS> kTable = [] {
  std::array<uint16_t, QX_THRESHOLD_ROWS * QX_THRESHOLD_COLUMNS> t{};
  t.fill(8000);
  return t;
}();
const qx_vermodel kModels[] = {
    {&kVerifier, QX_MTCOHER_MODEL_KEY, 24, nullptr, kCoefficients.data(), 1, kTable.data()},
    {nullptr, 0, 0, nullptr, nullptr, 0, nullptr}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 1 << 16) return 0;
  const uint32_t n = static_cast<uint32_t>(size);
  qx_template *mt = qx_template_create(QX_TEMPLATE_MULTITEMPLATE, data, n);
  qx_template *probe = qx_template_create(size > 0 && (data[0] & 1) ? QX_TEMPLATE_SPECTRAL
                                                                     : QX_TEMPLATE_EHMHR,
                                          data, n);
  int32_t rows = 0, cols = 0;
  qx_mtcoher_probe_size(probe, &rows, &cols);

  // The session's algorithm carries the coherence model, so candidate
  // lists of 16 or more reach the coherence geometry.
  qx_session *session = qx_session_create();
  qx_verifier_chain *chain = qx_verifier_chain_create();
  qx_verifier_chain_append_link(chain, qx_verifier_link_create(&kVerifier, &kVerifier, 16, 1, 0, 0));
  qx_verifier_chain_append_link(chain, qx_verifier_link_create(&kVerifier, &kVerifier, 0, 0, 1, 0));
  const qx_extractor_interface extractor{};
  qx_algorithm *alg = qx_algorithm_create(session, &extractor, chain, QX_TEMPLATE_EHMHR, 1, 6,
                                          nullptr, 0, nullptr, 0, nullptr);
  if (alg == nullptr) {
    qx_verifier_chain_delete(chain);
  } else {
    qx_algorithm_set_vermodels(alg, kModels);
    qx_template *enrolled[2] = {mt, mt};
    int32_t decision = 0, t = 0, sub = 0;
    qx_alignment *alignment = nullptr;
    qx_multitemplate_verify_chain(enrolled, 2, qx_algorithm_get_verifier_chain(alg), session,
                                  probe, 12, &decision, &alignment, &t, &sub, nullptr);
    qx_alignment_delete(alignment);
    qx_algorithm_delete(alg);
  }
  qx_session_delete(session);
  qx_template_delete(probe);
  qx_template_delete(mt);
  return 0;
}
