/*
 * bmp_convert.h - uncompressed 8-bit Windows bitmap -> raw grey image.
 *
 * The conversion goes through the engine's image record: a BER element
 * with tag 0xC3 whose value is a 12-byte header (3 zero bytes, the
 * orientation code, horizontal and vertical resolution in dpi, width and
 * height, all 16-bit big-endian) followed by the pixels in stored order.
 * Orientation 0 means rows stored top first, 6 bottom first.  The length
 * field is one byte up to 127, else 0x81/0x82/0x83 and one to three
 * big-endian length bytes; values above 0xFFFFFF bytes are refused.
 *
 * Accepted bitmaps: file header + 40-byte information header, no
 * compression, 8 bits per pixel, bottom-up or top-down, pixel rows
 * (padded to 4 bytes) at the pixel-offset field.  Width and |height| must
 * be positive and fit the record's 16-bit fields.
 *
 * Result codes: QX_RC_OK; QX_RC_MALFORMED not a supported bitmap;
 * QX_RC_FILE_UNREADABLE the file cannot be opened, sized or read;
 * QX_RC_NO_MEMORY; QX_RC_INVALID_ARGUMENT a required argument is missing.  Every output is cleared before any check.  Buffers handed out
 * are released with qxbmp_free.
 */
#ifndef LUMETRA_ENGINE_FORMATS_BMP_CONVERT_H
#define LUMETRA_ENGINE_FORMATS_BMP_CONVERT_H

#include <stddef.h>
#include <stdint.h>

#include "engine/qx_rc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Image record tag and orientation codes. */
#define QXBMP_RECORD_TAG 0xC3
#define QXBMP_TOP_FIRST 0
#define QXBMP_BOTTOM_FIRST 6

/* Resolution written when the bitmap gives none (0 pixels per metre). */
#define QXBMP_DEFAULT_DPI 500

/* Largest bitmap file the file form reads into memory, in bytes. */
#define QXBMP_MAX_FILE_SIZE (64u * 1024u * 1024u)

/* Bitmap file -> pixels, top row first, width x height bytes. */
qx_rc qxbmp_bmpfile_to_buffer(const char *path, unsigned char **pixels, unsigned int *width,
                              unsigned int *height);

/* Bitmap bytes -> pixels, top row first, width x height bytes. */
qx_rc qxbmp_bmpbuffer_to_buffer(const unsigned char *bitmap, size_t size, unsigned char **pixels,
                                unsigned int *width, unsigned int *height);

/* Bitmap bytes -> image record (tag, length field, header, pixels). */
qx_rc qxbmp_bmpbuffer_to_bir(const unsigned char *bitmap, size_t size, unsigned char **record,
                             size_t *record_size);

/* Releases a buffer made by the functions above; none is allowed. */
void qxbmp_free(void *buffer);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_FORMATS_BMP_CONVERT_H */
