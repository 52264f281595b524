/*
 * Ghost removal: a faint second print (or latent residue) shows as a third,
 * lighter grey mode in the histogram of the fingerprint area; when the dark
 * mode is well separated, everything lighter than the valley after it is
 * pushed toward white.  The first step of the extraction.
 */
#ifndef LUMETRA_ENGINE_IMAGE_GHOST_REMOVAL_H
#define LUMETRA_ENGINE_IMAGE_GHOST_REMOVAL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Pushes a ghost (latent) print toward white when the histogram shows a
 * well separated dark mode.  Returns 1 when applied, else 0 (out holds a
 * copy of in).  B is the block size of the extraction. */
int bal_ghost_remove_bs(const uint8_t *in, int rows, int cols, uint8_t *out, int B);
/* In place: every inner pixel lighter than `level` moves toward white by
 * 1/8 of its distance for each of its 8 neighbours also lighter than it. */
void bal_filter_ghost(uint8_t *pixels, int rows, int cols, int level);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_IMAGE_GHOST_REMOVAL_H */
