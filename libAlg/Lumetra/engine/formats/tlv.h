/*
 * tlv.h - the BER-TLV layer under the card-oriented template formats.
 *
 * Tags are one byte, or two bytes when the low five bits of the first are
 * all set (the second byte 1..127); longer tags are not supported.  Lengths
 * use the short form below 128 and 0x81/0x82/0x83 with one to three
 * big-endian bytes; the indefinite form and 0x84 and up are refused.
 *
 * Every reader takes the number of bytes it may look at: an element whose
 * tag, length field or value does not fit is malformed.  That includes the
 * entry points that hand back a whole element (tlv_read,
 * tlv_get_buffer_length, tlv_parse_buffer), because a 0x83 length can claim
 * 16 MiB behind a pointer that holds only a few bytes.
 *
 * The element tree never owns the values it points to.
 */
#ifndef LUMETRA_ENGINE_FORMATS_TLV_H
#define LUMETRA_ENGINE_FORMATS_TLV_H

#include <stddef.h>
#include <stdint.h>

#include "engine/qx_rc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Largest value length the writers can encode: 2^24 - 1. */
#define TLV_MAX_LENGTH 0xFFFFFFu

/* One element as the flat scanners see it. */
typedef struct tlv_element {
  uint16_t tag;
  uint32_t length;
  const uint8_t *value;
} tlv_element;

/* Node of the element tree. */
typedef struct tlv_node {
  uint16_t tag;
  uint32_t length; /* primitive: value length; constructed: 0 (computed) */
  const uint8_t *value;
  struct tlv_node *parent;
  struct tlv_node *first_child;
  struct tlv_node *last_child;
  struct tlv_node *prev;
  struct tlv_node *next;
  uint32_t num_children;
} tlv_node;

/* ---- field readers: number of bytes of the field, 0 when unsupported or
 * when it does not fit into `available` bytes ---- */
size_t tlv_read_tag(const uint8_t *data, size_t available, uint16_t *tag);
size_t tlv_read_length(const uint8_t *data, size_t available, uint32_t *length);

/* ---- flat scanning ---- */
/* Total size of the element at data, or 0 when malformed or not fitting. */
size_t tlv_read_validate(const uint8_t *data, tlv_element *out, size_t available);
/* The same reader under its short name (the byte bound is required). */
size_t tlv_read(const uint8_t *data, tlv_element *out, size_t available);
/* Total size of the element at data (0 when malformed). */
size_t tlv_get_buffer_length(const uint8_t *data, size_t available);
/* 1 when an element with `tag` is among the consecutive elements at data. */
int tlv_find_tag(const uint8_t *data, size_t available, uint16_t tag, tlv_element *out);
/* 1 when the path of tags is found, each inside the value of the previous. */
int tlv_find_nested_tag(const uint8_t *data, size_t available, const uint16_t *path,
                        int depth, tlv_element *out);

/* ---- field sizes and writers ---- */
int tlv_get_bytes_for_tag(uint16_t tag);         /* 1, 2, or 0 (unwritable) */
int tlv_get_bytes_for_length(uint32_t length);   /* 1..4 */
/* Each returns the number of bytes written (0 for an unwritable tag or a
 * length of 2^24 or more).  `out` must hold the field. */
size_t tlv_write_tag(uint8_t *out, uint16_t tag);
size_t tlv_write_length(uint8_t *out, uint32_t length);
size_t tlv_write(uint8_t *out, uint16_t tag, uint32_t length, const uint8_t *value);

/* ---- tags ---- */
/* Tag value for class 0..3, constructed 0/1 and number; 0 for numbers of
 * 128 and more. */
uint16_t tlv_construct_tag(int tag_class, int constructed, int number);
int tlv_tag_is_constructed(uint16_t tag);

/* ---- tree ---- */
tlv_node *tlv_create(uint16_t tag, uint32_t length, const uint8_t *value);
qx_rc tlv_append_child(tlv_node *parent, tlv_node *child); /* QX_RC_OK; QX_RC_NO_MEMORY when child is NULL (its creation failed);
                                                           QX_RC_INVALID_ARGUMENT when parent is primitive */
qx_rc tlv_insert_child(tlv_node *parent, tlv_node *child);
void tlv_remove(tlv_node *node);
void tlv_delete(tlv_node *node);
/* QX_RC_OK, QX_RC_MALFORMED, QX_RC_NO_MEMORY; *root is NULL on failure. */
qx_rc tlv_parse_buffer(const uint8_t *data, size_t available, tlv_node **root);
tlv_node *tlv_find_tag_in_tree(tlv_node *node, uint16_t tag);
uint32_t tlv_get_length(const tlv_node *node);
uint16_t tlv_get_tag(const tlv_node *node);
const uint8_t *tlv_get_value(const tlv_node *node);
tlv_node *tlv_get_first_child(const tlv_node *node);
tlv_node *tlv_get_last_child(const tlv_node *node);
tlv_node *tlv_get_next_sibling(const tlv_node *node);
tlv_node *tlv_get_previous_sibling(const tlv_node *node);
tlv_node *tlv_get_parent(const tlv_node *node);
int tlv_is_constructed(const tlv_node *node);
int tlv_is_primitive(const tlv_node *node);
int tlv_get_tag_class(uint16_t tag);
/* Encoded size of the tree; with `out` non-NULL a buffer of exactly that
 * size is allocated (qx_malloc, released with qx_free) and written.
 * 0, or 9 when memory runs out or the tree cannot be encoded. */
qx_rc tlv_write_tree(const tlv_node *node, uint8_t **out, size_t *size);

#ifdef __cplusplus
}
#endif

#endif
