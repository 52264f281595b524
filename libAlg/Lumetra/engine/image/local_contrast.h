/*
 * local_contrast.h - local-statistics contrast boost, the finishing step
 * of the enhancement export.
 *
 * The image is padded by 5 pixels (edges repeated), smoothed with the
 * 3 x 3 binomial kernel, stretched to the full grey range, and each pixel
 * is pushed away from its 11 x 11 local mean by a gain of
 * min(5, strength * global mean / local deviation).  The result is
 * smoothed once more with the same kernel (image border unchanged).
 */
#ifndef LUMETRA_ENGINE_IMAGE_LOCAL_CONTRAST_H
#define LUMETRA_ENGINE_IMAGE_LOCAL_CONTRAST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* In place on width x height pixels.  0 on success; -1 when memory runs
 * out or the size is not positive, and then the pixels are unchanged. */
int local_contrast_enhance(uint8_t *pixels, int width, int height, float strength);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_IMAGE_LOCAL_CONTRAST_H */
