// The configuration registry, the builders of the "ehm" family and the
// chain creators.
#include "engine/match/qx_config.h"

#include <cstring>

#include "engine/match/vermodel_data.h"
#include "engine/qx_sensor.h"

namespace {

// One builder's parameters.
struct EhmConfig {
  qx_verifier_chain *(*chain_creator)(int32_t);
  int32_t pass_on_count;  // link 1 of the chain
  const qx_extractor_interface *extractor;
  int32_t template_type;
  int32_t sensor_size;
  int32_t states_on[QX_FEATURE_COUNT];
  int32_t nbr_states_on;
  int32_t states_mutable[QX_FEATURE_COUNT];
  int32_t nbr_states_mutable;
  uint8_t max_subtemplates;
  uint8_t enroll_captures;
  const qx_vermodel *models;
};

constexpr int32_t kSensorType = 1;  // every configuration

qx_algorithm *build(const EhmConfig &c, qx_session *session) {
  qx_verifier_chain *chain = c.chain_creator(c.pass_on_count);
  if (chain == nullptr) return nullptr;
  qx_algorithm_config block{};
  block.max_nbr_subtemplates = c.max_subtemplates;
  block.nbr_enroll_captures = c.enroll_captures;
  qx_algorithm *alg = qx_algorithm_create(session, c.extractor, chain, c.template_type,
                                          kSensorType, c.sensor_size, c.states_on,
                                          c.nbr_states_on, c.states_mutable,
                                          c.nbr_states_mutable, &block);
  if (alg == nullptr) {
    // A failed creation leaves the chain with us.
    qx_verifier_chain_delete(chain);
    return nullptr;
  }
  qx_algorithm_set_vermodels(alg, c.models);
  return alg;
}

// Rows of the builders' table.  The -spmem variants differ only in their
// extractor (and "ehmsq-l-spmem" in leaving feature state 1 off).
constexpr EhmConfig kSquareXl{
    .chain_creator = ehm_create_chain,
    .pass_on_count = 8,
    .extractor = &embedded_extractor,
    .template_type = QX_TEMPLATE_EHM,
    .sensor_size = QX_SENSOR_SQUARE_XL,
    .states_on = {QX_FEATURE_360},
    .nbr_states_on = 1,
    .states_mutable = {QX_FEATURE_360},
    .nbr_states_mutable = 1,
    .max_subtemplates = 16,
    .enroll_captures = 8,
    .models = qx_vermodels_ehmsq_xl};
constexpr EhmConfig kSquareL{
    .chain_creator = ehm_create_chain,
    .pass_on_count = 16,
    .extractor = &embedded_extractor,
    .template_type = QX_TEMPLATE_EHM,
    .sensor_size = QX_SENSOR_SQUARE_L,
    .states_on = {QX_FEATURE_360},
    .nbr_states_on = 1,
    .states_mutable = {QX_FEATURE_360, QX_FEATURE_SPECTRAL_FULLSEARCH},
    .nbr_states_mutable = 2,
    .max_subtemplates = 32,
    .enroll_captures = 16,
    .models = qx_vermodels_ehmsq_l};
// The high-resolution hybrid configurations share their chain, extractor,
// template type and feature states (all on; the 360-degree search and the
// wider spectral search mutable); each row names what is its own.
constexpr EhmConfig kHybridHr{
    .chain_creator = ehmhr_create_chain,
    .extractor = &embedded_extractor,
    .template_type = QX_TEMPLATE_EHMHR,
    .states_on = {QX_FEATURE_360, QX_FEATURE_SPECTRAL_FULLSEARCH, QX_FEATURE_SPECTRAL_HR_RANGE},
    .nbr_states_on = 3,
    .states_mutable = {QX_FEATURE_360, QX_FEATURE_SPECTRAL_HR_RANGE},
    .nbr_states_mutable = 2};
struct HybridHrRow {
  int32_t pass_on_count;
  int32_t sensor_size;
  uint8_t max_subtemplates;
  uint8_t enroll_captures;
  const qx_vermodel *models;
};
constexpr EhmConfig hybrid_hr(HybridHrRow row) {
  EhmConfig c = kHybridHr;
  c.pass_on_count = row.pass_on_count;
  c.sensor_size = row.sensor_size;
  c.max_subtemplates = row.max_subtemplates;
  c.enroll_captures = row.enroll_captures;
  c.models = row.models;
  return c;
}
constexpr EhmConfig kSquareM = hybrid_hr({.pass_on_count = 24,
                                          .sensor_size = QX_SENSOR_SQUARE_M,
                                          .max_subtemplates = 64,
                                          .enroll_captures = 24,
                                          .models = qx_vermodels_ehmsq_m});
constexpr EhmConfig kSquareS = hybrid_hr({.pass_on_count = 32,
                                          .sensor_size = QX_SENSOR_SQUARE_S,
                                          .max_subtemplates = 72,
                                          .enroll_captures = 32,
                                          .models = qx_vermodels_ehmsq_s});
constexpr EhmConfig kSquareXs = hybrid_hr({.pass_on_count = 40,
                                          .sensor_size = QX_SENSOR_SQUARE_XS,
                                          .max_subtemplates = 96,
                                          .enroll_captures = 32,
                                          .models = qx_vermodels_ehmsq_xs});
constexpr EhmConfig kRectM = hybrid_hr({.pass_on_count = 24,
                                          .sensor_size = QX_SENSOR_RECT_M,
                                          .max_subtemplates = 64,
                                          .enroll_captures = 24,
                                          .models = qx_vermodels_ehmre_m});
constexpr EhmConfig kRectS = hybrid_hr({.pass_on_count = 32,
                                          .sensor_size = QX_SENSOR_RECT_S,
                                          .max_subtemplates = 72,
                                          .enroll_captures = 32,
                                          .models = qx_vermodels_ehmre_s});

constexpr EhmConfig speedmem(EhmConfig c) {
  c.extractor = &embedded_speedmem_extractor;
  return c;
}

qx_verifier_chain *create_chain(const qx_verifier_interface *main, int32_t pass_on_count) {
  qx_verifier_chain *chain = qx_verifier_chain_create();
  if (chain == nullptr) return nullptr;
  // A link that cannot be allocated is left out; the chain stays usable.
  qx_verifier_chain_append_link(
      chain, qx_verifier_link_create(&cheetah_verifier, &cheetah_verifier, pass_on_count, 0, 0, 0));
  qx_verifier_chain_append_link(chain, qx_verifier_link_create(main, main, 0, 0, 0, 0));
  return chain;
}

qx_algorithm *no_builder(qx_session *) { return nullptr; }

}  // namespace

extern "C" {

qx_verifier_chain *ehm_create_chain(int32_t pass_on_count) {
  return create_chain(&ehm_verifier, pass_on_count);
}

qx_verifier_chain *ehmhr_create_chain(int32_t pass_on_count) {
  return create_chain(&ehmhr_verifier, pass_on_count);
}

qx_algorithm *square_xl_create(qx_session *s) { return build(kSquareXl, s); }
qx_algorithm *square_m_create(qx_session *s) { return build(kSquareM, s); }
qx_algorithm *square_s_create(qx_session *s) { return build(kSquareS, s); }
qx_algorithm *square_xs_create(qx_session *s) { return build(kSquareXs, s); }
qx_algorithm *rectangular_m_create(qx_session *s) { return build(kRectM, s); }
qx_algorithm *rectangular_s_create(qx_session *s) { return build(kRectS, s); }

qx_algorithm *square_l_create(qx_session *s) {
  qx_algorithm *alg = build(kSquareL, s);
  // This configuration switches the spectral full search on after creation
  // (it is mutable here, so the call succeeds).
  if (alg != nullptr) qx_algorithm_set_feature_state(alg, QX_FEATURE_SPECTRAL_FULLSEARCH, 1);
  return alg;
}

qx_algorithm *square_xl_speed_mem_create(qx_session *s) { return build(speedmem(kSquareXl), s); }
qx_algorithm *square_l_speed_mem_create(qx_session *s) { return build(speedmem(kSquareL), s); }
qx_algorithm *square_m_speed_mem_create(qx_session *s) { return build(speedmem(kSquareM), s); }
qx_algorithm *square_s_speed_mem_create(qx_session *s) { return build(speedmem(kSquareS), s); }
qx_algorithm *rectangular_m_speed_mem_create(qx_session *s) { return build(speedmem(kRectM), s); }

qx_algorithm *spectral_square_xl_create(qx_session *s) { return no_builder(s); }
qx_algorithm *spectral_square_l_create(qx_session *s) { return no_builder(s); }
qx_algorithm *spectral_square_s_create(qx_session *s) { return no_builder(s); }
qx_algorithm *square_xl_speed_mem_slice_create(qx_session *s) { return no_builder(s); }
qx_algorithm *square_l_speed_mem_slice_create(qx_session *s) { return no_builder(s); }
qx_algorithm *swipe_speed_mem_slice_create(qx_session *s) { return no_builder(s); }
qx_algorithm *neo_rectangular_create(qx_session *s) { return no_builder(s); }
qx_algorithm *neo_rectangular_speed_create(qx_session *s) { return no_builder(s); }

}  // extern "C"

namespace {

const qx_config_row kRegistry[QX_CONFIG_REGISTRY_ROWS] = {
    {"ehm", QX_SENSOR_SQUARE_XL, "ehmsq-xl", square_xl_create},
    {"ehm", QX_SENSOR_SQUARE_L, "ehmsq-l", square_l_create},
    {"ehm", QX_SENSOR_SQUARE_M, "ehmsq-m", square_m_create},
    {"ehm", QX_SENSOR_SQUARE_S, "ehmsq-s", square_s_create},
    {"ehm", QX_SENSOR_SQUARE_XS, "ehmsq-xs", square_xs_create},
    {"ehm", QX_SENSOR_RECT_M, "ehmre-m", rectangular_m_create},
    {"ehm", QX_SENSOR_RECT_S, "ehmre-s", rectangular_s_create},
    {"spect", QX_SENSOR_SQUARE_XL, "spectsq-xl", spectral_square_xl_create},
    {"spect", QX_SENSOR_SQUARE_L, "spectsq-l", spectral_square_l_create},
    {"spect", QX_SENSOR_SQUARE_S, "spectsq-s", spectral_square_s_create},
    {"ehm", QX_SENSOR_SQUARE_XL, "ehmsq-xl-spmem", square_xl_speed_mem_create},
    {"ehm", QX_SENSOR_SQUARE_L, "ehmsq-l-spmem", square_l_speed_mem_create},
    {"ehm", QX_SENSOR_SQUARE_M, "ehmsq-m-spmem", square_m_speed_mem_create},
    {"ehm", QX_SENSOR_SQUARE_S, "ehmsq-s-spmem", square_s_speed_mem_create},
    {"ehm", QX_SENSOR_RECT_M, "ehmre-m-spmem", rectangular_m_speed_mem_create},
    {"", QX_SENSOR_SQUARE_XL, "ehmsq-xl-spmem-slice", square_xl_speed_mem_slice_create},
    {"", QX_SENSOR_SQUARE_L, "ehmsq-l-spmem-slice", square_l_speed_mem_slice_create},
    {"", QX_SENSOR_SQUARE_XL, "ehmsw-spmem-slice", swipe_speed_mem_slice_create},
    {"neo", QX_SENSOR_RECT_S, "neorec", neo_rectangular_create},
    {"neo", QX_SENSOR_RECT_S, "neore-s", neo_rectangular_speed_create},
};

bool is_memory_saving(const qx_config_row &row) {
  return std::strstr(row.name, "-spmem") != nullptr;
}

}  // namespace

extern "C" {

const qx_config_row *qx_config_registry(void) { return kRegistry; }

const qx_config_row *qx_config_find(const char *family, int32_t sensor_size,
                                    int32_t prefer_memory_saving) {
  if (family == nullptr) return nullptr;
  for (const qx_config_row &row : kRegistry) {
    if (std::strcmp(row.name, family) == 0) return &row;
  }
  for (const qx_config_row &row : kRegistry) {
    if (std::strcmp(row.family, family) == 0 && row.sensor_size == sensor_size &&
        (!prefer_memory_saving || is_memory_saving(row))) {
      return &row;
    }
  }
  for (const qx_config_row &row : kRegistry) {
    if (std::strcmp(row.family, family) == 0 && row.sensor_size == sensor_size) return &row;
  }
  return nullptr;
}

qx_config_builder qx_config_lookup(const char *family, int32_t sensor_size,
                                   int32_t prefer_memory_saving) {
  const qx_config_row *row = qx_config_find(family, sensor_size, prefer_memory_saving);
  return row != nullptr ? row->builder : nullptr;
}

}  // extern "C"
