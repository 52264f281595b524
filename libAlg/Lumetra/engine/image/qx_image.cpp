#include "engine/image/qx_image.h"

#include <cstring>

#include "engine/image/resample.h"
#include "engine/qx_alloc.h"
#include "engine/qx_refcount.hpp"
#include "engine/qx_sensor.h"

struct qx_image {
  int32_t refs;
  uint8_t *pixels;
  uint16_t rows;
  uint16_t cols;
  uint16_t vres;
  uint16_t hres;
  int32_t impression_type;
  const qx_image_decoder *decoder;  // pending pixel source, NULL once decoded
  void *decoder_context;
  qx_quality *quality;
  uint32_t pixel_count;
  int mr_state;
  int mr_const;
  int pixels_borrowed;  // buffer belongs to the caller
  qx_image_notify_fn notify;
  void *notify_user;
  void (*destroy)(qx_image *);
};

namespace {

bool valid_size(int v) { return v >= 1 && v <= 0xFFFF; }
bool valid_res(int v) { return v >= 0 && v <= 0xFFFF; }

void release_decoder(qx_image *image) {
  if (image->decoder && image->decoder->release) image->decoder->release(image->decoder_context);
  image->decoder = nullptr;
  image->decoder_context = nullptr;
}

void delete_image(qx_image *image) {
  if (image->notify) image->notify(image->notify_user);
  if (!image->pixels_borrowed) qx_free(image->pixels);
  release_decoder(image);
  qx_quality_delete(image->quality);
  qx_free(image);
}

qx_image *new_shell(int rows, int cols, int vres, int hres, int32_t impression_type) {
  if (!valid_size(rows) || !valid_size(cols) || !valid_res(vres) || !valid_res(hres)) return nullptr;
  auto *image = static_cast<qx_image *>(qx_calloc(1, sizeof(qx_image)));
  if (!image) return nullptr;
  image->refs = 1;
  image->rows = static_cast<uint16_t>(rows);
  image->cols = static_cast<uint16_t>(cols);
  image->vres = static_cast<uint16_t>(vres);
  image->hres = static_cast<uint16_t>(hres);
  image->impression_type = impression_type;
  image->pixel_count = static_cast<uint32_t>(rows) * static_cast<uint32_t>(cols);
  image->mr_const = 1;
  image->destroy = delete_image;
  return image;
}

}  // namespace

extern "C" qx_image *qx_image_create(int rows, int cols, int vres, int hres, const uint8_t *pixels,
                                     int32_t impression_type) {
  qx_image *image = new_shell(rows, cols, vres, hres, impression_type);
  if (!image) return nullptr;
  image->pixels = static_cast<uint8_t *>(qx_malloc(image->pixel_count));
  if (!image->pixels) {
    qx_free(image);
    return nullptr;
  }
  if (pixels)
    std::memcpy(image->pixels, pixels, image->pixel_count);
  else
    std::memset(image->pixels, 255, image->pixel_count);
  return image;
}

extern "C" qx_image *qx_image_create_mre(int rows, int cols, int vres, int hres, uint8_t *pixels,
                                         int32_t impression_type, qx_image_notify_fn notify,
                                         void *user) {
  if (!pixels) return nullptr;
  qx_image *image = new_shell(rows, cols, vres, hres, impression_type);
  if (!image) return nullptr;
  image->pixels = pixels;
  image->pixels_borrowed = 1;
  image->notify = notify;
  image->notify_user = user;
  return image;
}

extern "C" qx_image *qx_image_create_lazy(int rows, int cols, int vres, int hres,
                                          const qx_image_decoder *decoder, void *context,
                                          int32_t impression_type) {
  if (!decoder || !decoder->decode) return nullptr;
  qx_image *image = new_shell(rows, cols, vres, hres, impression_type);
  if (!image) return nullptr;
  image->decoder = decoder;
  image->decoder_context = context;
  return image;
}

extern "C" qx_image *qx_image_retain(qx_image *image) {
  return qx::retain(image);
}

extern "C" void qx_image_delete(qx_image *image) {
  qx::release(image);
}

extern "C" uint16_t qx_image_get_rows(const qx_image *image) { return image ? image->rows : 0; }
extern "C" uint16_t qx_image_get_cols(const qx_image *image) { return image ? image->cols : 0; }
extern "C" uint16_t qx_image_get_vertical_resolution(const qx_image *image) {
  return image ? image->vres : 0;
}
extern "C" uint16_t qx_image_get_horizontal_resolution(const qx_image *image) {
  return image ? image->hres : 0;
}
extern "C" int32_t qx_image_get_impression_type(const qx_image *image) {
  return image ? image->impression_type : 0;
}
extern "C" int32_t qx_image_get_num_refs(const qx_image *image) { return qx::num_refs(image); }

extern "C" uint8_t *qx_image_get_pixels(qx_image *image) {
  if (!image) return nullptr;
  if (!image->pixels && image->decoder) {
    auto *buffer = static_cast<uint8_t *>(qx_malloc(image->pixel_count));
    if (!buffer) return nullptr;
    if (image->decoder->decode(image->decoder_context, buffer, image->rows, image->cols) != 0) {
      // Keep the decoder: a later call may succeed.
      qx_free(buffer);
      return nullptr;
    }
    image->pixels = buffer;
    image->pixels_borrowed = 0;
    release_decoder(image);
  }
  return image->pixels;
}

extern "C" qx_quality *qx_image_get_quality_values(const qx_image *image) {
  return image ? image->quality : nullptr;
}

extern "C" void qx_image_set_quality_values(qx_image *image, qx_quality *quality) {
  if (!image) return;
  // Retain first so that re-attaching the same record cannot free it.
  qx_quality_retain(quality);
  qx_quality_delete(image->quality);
  image->quality = quality;
}

extern "C" void qx_image_mr_soft(qx_image *image) {
  if (image && image->mr_state == 0) image->mr_state = 1;
}
extern "C" void qx_image_mr_weak(qx_image *image) {
  if (image) image->mr_state = 2;
}
extern "C" void qx_image_mr_weakify(qx_image *image) {
  if (image && image->mr_state == 1) image->mr_state = 2;
}
extern "C" int qx_image_get_mr_state(const qx_image *image) { return image ? image->mr_state : 0; }
extern "C" void qx_image_set_mr_const(qx_image *image, int flag) {
  if (image) image->mr_const = flag ? 1 : 0;
}
extern "C" int qx_image_get_mr_const(const qx_image *image) { return image ? image->mr_const : 0; }
extern "C" uint32_t qx_image_get_mr_size(const qx_image *image) { return image ? image->pixel_count : 0; }

extern "C" int qx_image_mr_release(qx_image *image, qx_image_notify_fn releaser) {
  if (!image || image->refs != 1 || image->mr_state != 2) return 0;
  if (releaser) {
    if (!image->pixels || image->decoder) return 0;
    if (image->pixels_borrowed) {
      if (releaser != image->notify || image->pixels != image->notify_user) return 0;
      image->notify = nullptr;
      image->notify_user = nullptr;
    } else if (releaser != qx_free) {
      return 0;
    }
    // The buffer now belongs to the caller.
    image->pixels = nullptr;
    image->pixels_borrowed = 0;
    return 1;
  }
  if (image->decoder) {
    release_decoder(image);
  } else if (image->pixels) {
    if (!image->pixels_borrowed) {
      qx_free(image->pixels);
    } else if (image->notify) {
      image->notify(image->notify_user);
      image->notify = nullptr;
      image->notify_user = nullptr;
    }
  } else {
    return 0;
  }
  image->pixels = nullptr;
  image->pixels_borrowed = 0;
  return 1;
}

extern "C" qx_image *qx_image_scale_res(qx_image *image, int vres, int hres) {
  if (!image || image->vres == 0 || image->hres == 0 || !valid_res(vres) || !valid_res(hres))
    return nullptr;
  const uint8_t *src = qx_image_get_pixels(image);
  if (!src) return nullptr;
  const long rows = static_cast<long>(vres) * image->rows / image->vres;
  const long cols = static_cast<long>(hres) * image->cols / image->hres;
  if (rows < 1 || rows > 0xFFFF || cols < 1 || cols > 0xFFFF) return nullptr;
  qx_image *out = qx_image_create(static_cast<int>(rows), static_cast<int>(cols), vres, hres, nullptr,
                                  image->impression_type);
  if (!out) return nullptr;
  if (bal_scale_bilinear(src, image->rows, image->cols, out->pixels, static_cast<int>(rows),
                         static_cast<int>(cols)) != QXI_OK) {
    qx_image_delete(out);
    return nullptr;
  }
  return out;
}

namespace {
struct SizeEntry {
  uint32_t area;
  int square_code;   // code when the shorter side is more than 60 % of the longer
  int oblong_code;   // code otherwise (0: no entry in that column)
};
constexpr SizeEntry kSensorSizes[] = {
    {87320, QX_SENSOR_SWIPE, QX_SENSOR_SWIPE},
    {38809, QX_SENSOR_SQUARE_XL, QX_SENSOR_SIZE_NONE},
    {24838, QX_SENSOR_SQUARE_L, QX_SENSOR_SIZE_NONE},
    {16397, QX_SENSOR_SQUARE_M, QX_SENSOR_SIZE_NONE},
    {13055, QX_SENSOR_SQUARE_S, QX_SENSOR_SIZE_NONE},
    {9702, QX_SENSOR_SQUARE_XS, QX_SENSOR_SIZE_NONE},
    {15524, QX_SENSOR_SIZE_NONE, QX_SENSOR_RECT_M},
    {11643, QX_SENSOR_SIZE_NONE, QX_SENSOR_RECT_S},
};
}  // namespace

extern "C" int qx_image_get_sensor_size(const qx_image *image) {
  if (!image || image->vres == 0 || image->hres == 0) return 0;
  // The sides at the library's resolution.
  const uint16_t h = static_cast<uint16_t>(image->rows * unsigned{QX_LIBRARY_DPI} / image->vres);
  const uint16_t w = static_cast<uint16_t>(image->cols * unsigned{QX_LIBRARY_DPI} / image->hres);
  const uint32_t s = h < w ? h : w;
  const uint32_t l = h < w ? w : h;
  if (l == 0) return 0;
  const uint32_t ratio = s * 100 / l;
  const uint32_t area = s * l;
  int best_code = 0;
  uint32_t best_dist = UINT32_MAX;
  for (const SizeEntry &e : kSensorSizes) {
    const int code = ratio > 60 ? e.square_code : e.oblong_code;
    const uint32_t entry_area = code ? e.area : 0;
    const uint32_t dist = area > entry_area ? area - entry_area : entry_area - area;
    if (dist < best_dist) {
      best_dist = dist;
      best_code = code;
    }
  }
  return best_code;
}
