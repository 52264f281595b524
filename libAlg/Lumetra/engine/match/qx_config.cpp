// The configuration registry, the builders of the "ehm" family and the
// chain creators.
#include "engine/match/qx_config.h"

#include <cstring>

#include "engine/match/vermodel_data.h"

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
constexpr EhmConfig kSquareXl{ehm_create_chain, 8, &embedded_extractor, QX_TEMPLATE_EHM, 2,
                              {0}, 1, {0}, 1, 16, 8, qx_vermodels_ehmsq_xl};
constexpr EhmConfig kSquareL{ehm_create_chain, 16, &embedded_extractor, QX_TEMPLATE_EHM, 3,
                             {0}, 1, {0, 1}, 2, 32, 16, qx_vermodels_ehmsq_l};
constexpr EhmConfig kSquareM{ehmhr_create_chain, 24, &embedded_extractor, QX_TEMPLATE_EHMHR, 4,
                             {0, 1, 2}, 3, {0, 2}, 2, 64, 24, qx_vermodels_ehmsq_m};
constexpr EhmConfig kSquareS{ehmhr_create_chain, 32, &embedded_extractor, QX_TEMPLATE_EHMHR, 5,
                             {0, 1, 2}, 3, {0, 2}, 2, 72, 32, qx_vermodels_ehmsq_s};
constexpr EhmConfig kSquareXs{ehmhr_create_chain, 40, &embedded_extractor, QX_TEMPLATE_EHMHR, 6,
                              {0, 1, 2}, 3, {0, 2}, 2, 96, 32, qx_vermodels_ehmsq_xs};
constexpr EhmConfig kRectM{ehmhr_create_chain, 24, &embedded_extractor, QX_TEMPLATE_EHMHR, 7,
                           {0, 1, 2}, 3, {0, 2}, 2, 64, 24, qx_vermodels_ehmre_m};
constexpr EhmConfig kRectS{ehmhr_create_chain, 32, &embedded_extractor, QX_TEMPLATE_EHMHR, 8,
                           {0, 1, 2}, 3, {0, 2}, 2, 72, 32, qx_vermodels_ehmre_s};

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
    {"ehm", 2, "ehmsq-xl", square_xl_create},
    {"ehm", 3, "ehmsq-l", square_l_create},
    {"ehm", 4, "ehmsq-m", square_m_create},
    {"ehm", 5, "ehmsq-s", square_s_create},
    {"ehm", 6, "ehmsq-xs", square_xs_create},
    {"ehm", 7, "ehmre-m", rectangular_m_create},
    {"ehm", 8, "ehmre-s", rectangular_s_create},
    {"spect", 2, "spectsq-xl", spectral_square_xl_create},
    {"spect", 3, "spectsq-l", spectral_square_l_create},
    {"spect", 5, "spectsq-s", spectral_square_s_create},
    {"ehm", 2, "ehmsq-xl-spmem", square_xl_speed_mem_create},
    {"ehm", 3, "ehmsq-l-spmem", square_l_speed_mem_create},
    {"ehm", 4, "ehmsq-m-spmem", square_m_speed_mem_create},
    {"ehm", 5, "ehmsq-s-spmem", square_s_speed_mem_create},
    {"ehm", 7, "ehmre-m-spmem", rectangular_m_speed_mem_create},
    {"", 2, "ehmsq-xl-spmem-slice", square_xl_speed_mem_slice_create},
    {"", 3, "ehmsq-l-spmem-slice", square_l_speed_mem_slice_create},
    {"", 2, "ehmsw-spmem-slice", swipe_speed_mem_slice_create},
    {"neo", 8, "neorec", neo_rectangular_create},
    {"neo", 8, "neore-s", neo_rectangular_speed_create},
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
