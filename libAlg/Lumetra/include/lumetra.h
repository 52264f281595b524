/*
 * lumetra.h - public interface of the Lumetra fingerprint algorithm library.
 *
 * Flat C functions over process-wide state.  The library starts no threads
 * and takes no locks: a host calls it from one thread at a time.  A NULL
 * pointer argument is refused by every function: it returns the failure
 * result given below, changes no state and writes nothing but the failure
 * outputs stated there (a "void" function then does nothing), except
 * where NULL is said to be allowed.  Other pointers must
 * point to the sizes stated here.  Functions declared "void" return
 * nothing.
 *
 * Sensor images: every pixel buffer exchanged with the library holds one
 * image of sensor_row x sensor_col bytes (see set_fp_sensor_col_row), one
 * grey byte per pixel (0 black .. 255 white), row after row, no padding.
 * No sensor side may exceed LUMETRA_MAX_SENSOR_SIDE pixels: a geometry
 * beyond it (or a side of 0 or less) makes every image function fail.
 */
#ifndef LUMETRA_H
#define LUMETRA_H

/* The library's version, the same as its packages' (soname liblumetra.so.1
 * follows the major version).  LUMETRA_VERSION is one number for #if:
 * major x 10000 + minor x 100 + patch. */
#define LUMETRA_VERSION_MAJOR 1
#define LUMETRA_VERSION_MINOR 0
#define LUMETRA_VERSION_PATCH 5
#define LUMETRA_VERSION \
  (LUMETRA_VERSION_MAJOR * 10000 + LUMETRA_VERSION_MINOR * 100 + LUMETRA_VERSION_PATCH)

#if defined(LUMETRA_BUILDING)
#define LUMETRA_API __attribute__((visibility("default")))
#else
#define LUMETRA_API
#endif

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Longest sensor side, in pixels at 500 dpi, that the image functions take
 * (about 104 mm: beyond any fingerprint sensor, so that a wrong geometry
 * costs a failure, not seconds and gigabytes). */
#define LUMETRA_MAX_SENSOR_SIDE 2048

/* Highest false-accept level (set_nerio_FAR_Val). */
#define LUMETRA_MAX_FAR 27

/* ---- Lifecycle --------------------------------------------------------- */

/* Builds the matching engine for the sensor geometry set with
 * set_fp_sensor_col_row (and applies set_fp_max_nbr_subtemplate).  Sets the
 * template-update flag to 1 and empties the in-memory templates of the five
 * slots: reload them with init_alg_tpl_data afterwards.  Returns 0, or -1
 * when the geometry is unusable (a side outside 1..LUMETRA_MAX_SENSOR_SIDE)
 * or has no configuration (the earlier engine then stays in place) or the
 * engine cannot be built.  The configuration serves the sensor size it was
 * built for: after a later set_fp_sensor_col_row to a size of another
 * configuration, verification and comparison answer -1 until the next
 * init. */
LUMETRA_API int init_nerio_algorithm(void);

/* Releases the engine and the slots' in-memory templates.  Harmless
 * before init and when repeated; parameters stay as they are. */
LUMETRA_API void uninit_nerio_algorithm(void);

/* ---- Parameters, version and information ------------------------------ */

/* Sensor geometry used for every image the library builds (default 88 x 88).
 * Stored as given; the image functions refuse sides outside
 * 1..LUMETRA_MAX_SENSOR_SIDE.  The getters write nothing when either
 * pointer is NULL. */
LUMETRA_API void set_fp_sensor_col_row(int col, int row);
LUMETRA_API void get_fp_sensor_col_row(int *col, int *row);

/* Stored image geometry, reported back only (default 88 x 88). */
LUMETRA_API void set_fp_image_col_row(int col, int row);
LUMETRA_API void get_fp_image_col_row(int *col, int *row);

/* Stored counts (low 8 bits kept); the number of template slots stays five. */
LUMETRA_API void set_fp_alg_max_tpl_count(int count);
LUMETRA_API void set_fp_sensor_max_tpl_count(int count);

/* False-accept level for verification and comparison: level i means a
 * false accept in 10^(i/3) attempts, 0..LUMETRA_MAX_FAR (default 12).
 * Level 0 accepts every finger that yields a template (it is the
 * acceptance test's level, not a safe one).  A level outside 0..27 (-1,
 * 28, 256, ...) is refused: the level stays what it was. */
LUMETRA_API void set_nerio_FAR_Val(int far);

/* Non-zero lets verification update the matched template.
 * init_nerio_algorithm sets it to 1. */
LUMETRA_API void set_fp_dyn_update_flg(int flag);

/* Stored only; the low 8 bits are kept (default 18). */
LUMETRA_API void set_fp_dyn_update_FAR_VAL(int far);

/* Maximum number of subtemplates of an enrolled template; read by the next
 * init_nerio_algorithm (its low 8 bits; 0 means the engine's default). */
LUMETRA_API void set_fp_max_nbr_subtemplate(int count);

/* *info = enrollment progress (0..100) + 256 x last enrollment event
 * (nothing when info is NULL). */
LUMETRA_API void get_nerio_alg_info(unsigned short *info);

/* Writes the 23 characters of the version text to text[0..22]:
 * "Lumetra v1.0.5 " and the source revision the library was built from
 * ("g" and the commit's abbreviated hash, or "unknown" and spaces).
 * No terminating zero is written: the buffer needs 23 bytes, and a host
 * that wants a C string terminates it itself (nothing when text is NULL). */
LUMETRA_API void nerio_get_version(char *text);

/* ---- Template slots ----------------------------------------------------- */
/* The library holds up to five enrolled templates, one per slot (0..4).
 * It keeps no files: the host stores the template records it receives
 * from nerio_qx_save_tpl or nerio_qx_get_tpl and hands them back with
 * init_alg_tpl_data after every init_nerio_algorithm. */

/* Capacity of a template record's data part, in bytes. */
#define LUMETRA_TPL_MAX_BYTES 32760

/* A template record as exchanged with the host (32768 bytes). */
typedef struct tpl_record {
  unsigned char type;        /* template type code (80: enrolled multi-template) */
  unsigned char reserved[3]; /* neither read nor written by the library */
  uint32_t length;           /* valid bytes in data, at most 32760 (little-endian) */
  unsigned char data[LUMETRA_TPL_MAX_BYTES];
} tpl_record;

/* Loads a stored record into slot `index`.  0 when loaded, and also when
 * record->length is 0 (nothing changes then); -1 for an index outside
 * 0..4, a NULL record, a length above 32760, or a record that does not
 * decode (the slot is then empty).  A record is decoded as its type when
 * it is loaded: an enrolled template (type 80) must be a whole "QXMT"
 * encoding of version 1..3 with at least one subtemplate, each
 * subtemplate a readable template of its own type, followed by nothing
 * but 0xFF bytes; a hybrid (67, 73, 74, 78), compact-card (2, 5) or ISO
 * (1, 4) template must read as one and be followed by nothing but 0xFF.
 * Records of other types are taken as they are.  The check finds damage
 * to the structure (a header, a length or count field, a tag or length of
 * the parts); a changed byte inside a value that still reads (a minutia,
 * a block of the ridge fields, an alignment) cannot be found, as the
 * record holds no checksum.  Needs no init_nerio_algorithm, but init
 * empties every slot, so load after init. */
LUMETRA_API int init_alg_tpl_data(int index, const tpl_record *record);

/* Copies the template of slot `index` into *record (NULL allowed: then
 * nothing is copied).  After init_alg_tpl_data or a template update the length is
 * 32760, the whole stored area; after nerio_qx_save_tpl it is the
 * template's own size.  An empty slot gives a record of type 0 and
 * length 0.  0, or -1 for an index outside 0..4. */
LUMETRA_API int nerio_qx_get_tpl(int index, tpl_record *record);

/* Erases slot `index` (only the low 8 bits of index count; values above 4
 * change nothing).  Always 0. */
LUMETRA_API int nerio_DelFinger(int index);

/* ---- Enrollment --------------------------------------------------------- */

/* Adds one sensor image to the enrollment session; the first image opens
 * the session unless continue_only is non-zero (then, without an open
 * session, the result is 1).  The second argument is ignored.  *progress
 * receives 0..100, the share of the finger covered so far.  0 when the
 * image was taken (or dropped for lack of memory: *progress is then not
 * written), 1 when pixels is NULL, without init_nerio_algorithm or when
 * no session can be opened (progress may be NULL).  A session keeps at
 * most the captures its configuration takes (further images return 0 and
 * change nothing) and forgets the oldest refused duplicates, so that its
 * memory stays bounded whatever a host sends. */
LUMETRA_API int nerio_qx_enroll_Image(const unsigned char *pixels, int unused, int continue_only,
                                      unsigned char *progress);

/* Builds the enrolled template, closes the session and writes the template
 * into slot `index`; fills *record (when not NULL) with the template.  The
 * template is kept within a slot's 32760 bytes: when all kept captures
 * would not fit, the least useful are left out.
 * 0 stored; 1 no session, no init_nerio_algorithm, or no template could be
 * built (the session is closed all the same); -1 for an index outside 0..4
 * (the session stays open) or a template too large for a slot (it then
 * stays in the slot's memory only). */
LUMETRA_API int nerio_qx_save_tpl(int index, tpl_record *record);

/* Discards the enrollment session, if any, and sets the progress to 0.
 * Always 0. */
LUMETRA_API int nerio_qx_cancel_enroll(void);

/* Enrollment tips and duplicate-finger check: the library offers neither;
 * both names accept any argument and do nothing. */
LUMETRA_API void nerio_SetEnrollmentTipsEn(void *unused);
LUMETRA_API void nerio_enrollment_duplicatecheck_en(void *unused);

/* ---- Verification and identification ---------------------------------- */

/* Verifies a sensor image against the loaded slots at the FAR level of
 * set_nerio_FAR_Val (only the low 8 bits of mode count):
 *   mode 0: each loaded slot in turn, lowest first; the first accepted wins;
 *   mode 1: one decision over all five slots, with a second, looser try
 *           that is believed only after two consecutive calls needed it;
 *   other:  as mode 1, repeated once per loaded slot until it accepts.
 * With template updating on (set_fp_dyn_update_flg), an accepted
 * enrolled template learns from the image and is rewritten in its slot.
 * 0 accepted: *matched_index = the slot, and *updated = 1 when the slot
 * was rewritten (otherwise *updated is not written: preset it to 0).
 * 1 not accepted, no slot loaded, pixels NULL, no template from the image
 * or no init_nerio_algorithm: neither out-argument is written.
 * -1 wrong argument, nothing compared or written: the sensor geometry is
 * not one the configuration built by init_nerio_algorithm serves (it was
 * changed afterwards), or a loaded template was made on another sensor
 * size than the image's (its subtemplates record the image size they
 * were made from).  matched_index and updated may be NULL. */
LUMETRA_API int nerio_qx_verify(const unsigned char *pixels, int *matched_index, int *updated,
                                int mode);

/* Identification from the library's own sensor capture, which this
 * library does not have: always -1, the arguments are not written. */
LUMETRA_API int nerio_Identify(int *matched_index, int *updated);

/* ---- Sensor-side entry points ----------------------------------------- */
/* The library has no sensor transport: these keep the names of a sensor
 * driving interface, report "no image" / "no finger", and store what they
 * are given. */

/* Always 1 (no image); the buffer is not written. */
LUMETRA_API int nerio_GetFpImage(unsigned char *pixels);

/* Waits about one second, then returns 2 (no finger detected). */
LUMETRA_API unsigned char nerio_DetectFinger(void);

/* Runs a scratch computation over a width x height image; no observable
 * effect.  Non-positive or unobtainable sizes, and sides beyond
 * LUMETRA_MAX_SENSOR_SIDE, return at once. */
LUMETRA_API void nerio_qx_verify_hw(int width, int height);

/* Always 1. */
LUMETRA_API int nerio_qx_get_verify_hw_status(void);

/* Copies 48 bytes into the stored sensor parameter block (nothing when
 * params is NULL). */
LUMETRA_API void nerio_SetSensorParam(const void *params);

/* Copies seven correction factors (nothing when factors is NULL). */
LUMETRA_API void nerio_SetFactordValue(const int *factors);

/* Copies sensor_row x sensor_col 16-bit values into the stored base frame;
 * copies nothing when frame is NULL or that count is negative or above
 * 25600. */
LUMETRA_API void nerio_SetDatabaseValue(const unsigned short *frame);

/* Stored only (default 1014). */
LUMETRA_API void nerio_SetTransferBytesMax(int bytes);

/* ---- Image quality, enhancement and bitmap files ---------------------- */

/* Grade of a sensor image, as get_fp_image_quality writes it. */
typedef struct fp_image_quality_t {
  unsigned short image_quality; /* 0..100 */
  unsigned short area;          /* fingerprint area in square millimetres */
  unsigned short condition;     /* 0..100: share of bright pixels in the print */
} fp_image_quality_t;

/* Grades a sensor image.  0 with *quality filled, or -1 (record zeroed)
 * when pixels is NULL or the image or its quality cannot be computed; -1
 * and nothing written when quality is NULL.  Needs no
 * init_nerio_algorithm. */
LUMETRA_API int get_fp_image_quality(const unsigned char *pixels, fp_image_quality_t *quality);

/* Grades a bitmap file (8 or 1 bits per pixel, rows stored bottom-up) as
 * a sensor image: its size is checked only against sensor_row x
 * sensor_col bytes, and the pixels past a smaller bitmap read as white.
 * Only a regular file is read (a FIFO or device is refused at once).
 * Returns the image quality 0..100, or 1 on any failure. */
LUMETRA_API int nerio_get_image_quality(const char *path);

/* Compares two fingerprint bitmap files (read as nerio_get_image_quality
 * reads them) with the algorithm built by init_nerio_algorithm: extracts a
 * template from each and returns their 16-bit similarity score at the
 * FAR level set by set_nerio_FAR_Val.  Returns 1 when a path is absent,
 * the library is not initialised, a file cannot be read (or is no regular
 * file) or the comparison fails; when an image yields no template no
 * comparison is made and the result is 1 if the second extraction
 * reported an error, 0 otherwise.  -1 (wrong argument) when the sensor
 * geometry is not one the configuration of init_nerio_algorithm serves
 * (see init_nerio_algorithm). */
LUMETRA_API int nerio_get_score_from_two_image_compare(const char *path1, const char *path2);

/* Enhances a sensor image in place (pixels NULL: -1): band-pass enhancement of the
 * sensor_row x sensor_col image held in pixels, of which the first
 * width x height bytes are copied back, then a local contrast boost over
 * those width x height bytes.  Nothing outside the sensor image is read or
 * written.  0, or -1: -1 with the pixels unchanged when width or height is
 * not positive, width x height exceeds the sensor image, or the enhancement
 * fails; -1 with the band-pass result in place when the contrast boost
 * fails. */
LUMETRA_API int nerio_qx_ImageEnhance(unsigned char *pixels, int width, int height);

/* Converts an uncompressed 8-bit bitmap file (bottom-up or top-down) of at
 * most LUMETRA_MAX_SENSOR_SIDE pixels a side into raw pixels, top row
 * first: *width and *height are set and width x height bytes written to
 * pixels.  0, or -1 with *width and *height 0 (nothing at all written
 * when width or height is NULL).  Only a regular file is read.
 * WARNING: the library does not know the size of pixels and writes the
 * whole bitmap into it, however large the file says it is (up to 2048 x
 * 2048 bytes): a file a host does not control can write past its buffer.
 * Use get_bmp_buff_n. */
LUMETRA_API int get_bmp_buff(const char *path, unsigned char *pixels, unsigned int *width,
                             unsigned int *height);

/* get_bmp_buff with the size of the buffer: writes the pixels only when
 * capacity (bytes at pixels) holds width x height of them.
 *   0  converted: *width, *height set and width x height bytes written;
 *   1  buffer too small (or pixels NULL): nothing written to pixels,
 *      *width and *height report the bitmap's size, so a host can ask
 *      first with (NULL, 0) and call again with a buffer of that size;
 *  -1  the file cannot be converted: *width and *height 0 (nothing
 *      written when width or height is NULL). */
LUMETRA_API int get_bmp_buff_n(const char *path, unsigned char *pixels, size_t capacity,
                               unsigned int *width, unsigned int *height);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_H */
