/*
 * qx_multitemplate.h - the multi-template: several subtemplates of one
 * finger with small metadata records, and its byte encoding.
 *
 * A multi-template holds instances in insertion order.  Each instance has
 * a 32-bit signed tag (unique within the multi-template), a template
 * (retained) and its own list of metadata records; the multi-template also
 * has a global metadata list.  A metadata record is an 8-bit key with up
 * to 65535 bytes of data (an owned copy); a key occurs at most once per
 * owner and new records go to the front of the owner's list.
 *
 * The tag QX_MT_GLOBAL_TAG (0x80000000) never names an instance: the
 * metadata operations take it to mean the global list.
 *
 * Encoding ("QXMT", all numbers big-endian), written in version 3:
 *   0  "QXMT"   4  0   5  version   6  number of instances (written 255:
 *   the instances run to the end)   7  number of global records
 *   8  version 3: global records, then instances;
 *      versions 1 and 2: instances, then global records.
 *   record:   key (1), length (2), data
 *   instance: tag (4; -1 is written as 0x80000000), record count (1),
 *             template type (1), size (4; 2 in version 1), template bytes,
 *             the instance's records.
 * The decoder accepts trailing 0xFF bytes (an erased flash slot) and, in
 * version 3, stops the instance list at a tag of 0xFFFFFFFF.
 *
 * Result codes: 0 success, 1 refused (full, wrong type), 2 bad argument or
 * tag in use, 3 malformed encoding, 6 instance or record absent, 9 memory.
 */
#ifndef LUMETRA_ENGINE_OBJECTS_QX_MULTITEMPLATE_H
#define LUMETRA_ENGINE_OBJECTS_QX_MULTITEMPLATE_H

#include <stdint.h>

#include "engine/objects/qx_alignment.h"
#include "engine/objects/qx_template.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qx_multitemplate qx_multitemplate;

#define QX_MT_GLOBAL_TAG ((int32_t)INT32_MIN) /* addresses the global metadata */
#define QX_MT_MAX_INSTANCES 255
#define QX_MT_KEY_START (-1)                 /* start value of next_metadata */
#define QX_MT_VERSION 3                      /* version written by the encoder */

/* Metadata keys used by the engine. */
enum {
  QX_MT_GLOBAL_KEY_MANAGER = 1,    /* global, 7 bytes: manager parameters */
  QX_MT_INSTANCE_KEY_ALIGNMENT = 1, /* instance, 6 bytes: dx, dy, rotation, flags */
  QX_MT_INSTANCE_KEY_ISLAND = 2     /* instance, 1 byte: island number */
};
#define QX_MT_ALIGNMENT_LENGTH 6
#define QX_MT_ALIGNMENT_SECONDARY 0x01 /* byte 5: instance of a secondary island */

qx_multitemplate *qx_multitemplate_create(void);
qx_multitemplate *qx_multitemplate_retain(qx_multitemplate *mt);
/* Takes a reference away; at 0 the instances' templates are released. */
void qx_multitemplate_delete(qx_multitemplate *mt);
int32_t qx_multitemplate_get_num_refs(const qx_multitemplate *mt);

/* Appends an instance (the template is retained).  2 when the tag is in
 * use or is QX_MT_GLOBAL_TAG or the template is absent, 1 when the
 * multi-template already holds QX_MT_MAX_INSTANCES, 9 memory. */
int32_t qx_multitemplate_add_instance(qx_multitemplate *mt, int32_t tag, qx_template *tpl);
/* As add_instance with the tag one above the highest tag present, at
 * least 1; *tag receives it (0 on failure).  2 when the highest tag is
 * INT32_MAX (no tag above it). */
int32_t qx_multitemplate_add_instance_no_tag(qx_multitemplate *mt, qx_template *tpl,
                                             int32_t *tag);
/* 0, or 6 when no instance has the tag. */
int32_t qx_multitemplate_remove_instance(qx_multitemplate *mt, int32_t tag);
void qx_multitemplate_remove_all_instances(qx_multitemplate *mt);

/* The instance's template, retained (release with qx_template_delete), or
 * none. */
qx_template *qx_multitemplate_get_instance(const qx_multitemplate *mt, int32_t tag);
qx_template *qx_multitemplate_get_instance_for_index(const qx_multitemplate *mt, int32_t index,
                                                     int32_t *tag);
int32_t qx_multitemplate_get_nbr_of_instances(const qx_multitemplate *mt);
/* Walks the tags in list order: start with *tag = QX_MT_GLOBAL_TAG; each
 * call moves *tag to the next instance's tag and answers 1, and answers 0
 * at the end (or when *tag names no instance). */
int32_t qx_multitemplate_next_tag(const qx_multitemplate *mt, int32_t *tag);

/* Metadata of an instance (tag) or of the multi-template (QX_MT_GLOBAL_TAG).
 * add: 0, 2 when the key is present (or data is absent with a non-zero
 * length), 6 when the instance is absent, 9 memory. */
int32_t qx_multitemplate_add_metadata(qx_multitemplate *mt, int32_t tag, uint8_t key,
                                      const uint8_t *data, uint16_t length);
/* The record's bytes (owned by the multi-template) and their length, or
 * none with *length = 0. */
const uint8_t *qx_multitemplate_get_metadata(const qx_multitemplate *mt, int32_t tag, uint8_t key,
                                             uint16_t *length);
/* 0, or 6 when the instance or the record is absent. */
int32_t qx_multitemplate_remove_metadata(qx_multitemplate *mt, int32_t tag, uint8_t key);
/* Walks the owner's keys in list order: start with *key = QX_MT_KEY_START;
 * answers 1 with the next key, 0 at the end or when *key is not present. */
int32_t qx_multitemplate_next_metadata(const qx_multitemplate *mt, int32_t tag, int32_t *key);
/* Copies the record (tag, key) of `from` into the same owner of `to`,
 * replacing a record of that key there.  0; 6 when the record or the
 * destination's instance is absent; 9 memory (`to` unchanged). */
int32_t qx_multitemplate_copy_metadata(const qx_multitemplate *from, qx_multitemplate *to,
                                       int32_t tag, uint8_t key);
/* Writes the record, replacing one of the same key (the replaced data is
 * freed only once the new copy exists).  0, 2, 6 or 9 as add_metadata. */
int32_t qx_multitemplate_set_metadata(qx_multitemplate *mt, int32_t tag, uint8_t key,
                                      const uint8_t *data, uint16_t length);

/* Instance records of the engine. */
/* Writes key 1: the alignment to the island's top, and the secondary flag. */
int32_t qx_multitemplate_set_instance_alignment(qx_multitemplate *mt, int32_t tag,
                                                const qx_alignment *alignment,
                                                int32_t secondary);
/* Writes key 2: the island number. */
int32_t qx_multitemplate_set_instance_island(qx_multitemplate *mt, int32_t tag, uint8_t island);
/* A new alignment from key 1 (identity when there is no such record of 6
 * bytes or more), or none when memory runs out or the instance is absent. */
qx_alignment *qx_multitemplate_get_instance_alignment(const qx_multitemplate *mt, int32_t tag);
/* The island number of key 2, 255 when there is no such record. */
int32_t qx_multitemplate_get_instance_island(const qx_multitemplate *mt, int32_t tag);
/* 1 for an instance of the main island: key 1 absent or shorter than 6
 * bytes, or bit 0 of its byte 5 clear.  0 for secondary or absent ones. */
int32_t qx_multitemplate_instance_is_main(const qx_multitemplate *mt, int32_t tag);

/* Encoding.  encode: 0 with a new type-80 template owning the bytes,
 * 2 without mt or out, 9 memory (and then *out stays none). */
int32_t qx_multitemplate_encode(const qx_multitemplate *mt, qx_template **out);
/* Exact size of the encoding (0 without mt, UINT32_MAX when it would not
 * fit 32 bits). */
uint32_t qx_multitemplate_encode_size(const qx_multitemplate *mt);
/* 0 with a new multi-template; 2 without a template or out, 1 when the
 * type is not 80, 3 when the bytes are not a valid encoding, 9 memory.
 * When the template refers to caller memory and is not constant (made by
 * qx_template_create_mr), the instances refer to its bytes and keep it
 * alive; otherwise every instance gets its own copy. */
int32_t qx_multitemplate_decode(qx_template *tpl, qx_multitemplate **out);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_OBJECTS_QX_MULTITEMPLATE_H */
