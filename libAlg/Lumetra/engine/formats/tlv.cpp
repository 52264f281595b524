// BER-TLV reading, scanning, the element tree and its writer.
#include "engine/formats/tlv.h"

#include <cstring>
#include <new>

#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"

namespace {

// Nesting deeper than this is refused while parsing: no template format
// nests more than four levels, and the bound keeps the recursion small
// whatever the bytes claim.
constexpr int kMaxDepth = 32;

size_t element_header(const uint8_t *data, size_t available, uint16_t *tag,
                      uint32_t *length) {
  const size_t tag_bytes = tlv_read_tag(data, available, tag);
  if (tag_bytes == 0) return 0;
  const size_t len_bytes = tlv_read_length(data + tag_bytes, available - tag_bytes, length);
  if (len_bytes == 0) return 0;
  return tag_bytes + len_bytes;
}

uint32_t encoded_size(const tlv_node *node) {
  const uint32_t len = tlv_get_length(node);
  return static_cast<uint32_t>(tlv_get_bytes_for_tag(node->tag)) +
         static_cast<uint32_t>(tlv_get_bytes_for_length(len)) + len;
}

uint8_t *write_node(const tlv_node *node, uint8_t *out) {
  out += tlv_write_tag(out, node->tag);
  const uint32_t len = tlv_get_length(node);
  out += tlv_write_length(out, len);
  if (tlv_is_constructed(node)) {
    for (const tlv_node *c = node->first_child; c != nullptr; c = c->next) out = write_node(c, out);
  } else if (len > 0) {
    std::memcpy(out, node->value, len);
    out += len;
  }
  return out;
}

// Checks that every tag of the tree can be written and every length fits
// into three bytes, so that the computed size is the written size.
bool writable(const tlv_node *node, int depth) {
  if (depth > kMaxDepth * 4) return false;
  if (tlv_get_bytes_for_tag(node->tag) == 0) return false;
  if (tlv_get_length(node) > TLV_MAX_LENGTH) return false;
  if (tlv_is_constructed(node)) {
    for (const tlv_node *c = node->first_child; c != nullptr; c = c->next)
      if (!writable(c, depth + 1)) return false;
  } else if (node->length > 0 && node->value == nullptr) {
    return false;
  }
  return true;
}

qx_rc parse_children(tlv_node *parent, const uint8_t *value, size_t length, int depth) {
  if (depth > kMaxDepth) return QX_RC_MALFORMED;
  size_t pos = 0;
  while (pos < length) {
    tlv_element el;
    const size_t total = tlv_read_validate(value + pos, &el, length - pos);
    if (total == 0) return QX_RC_MALFORMED;
    tlv_node *child = tlv_create(el.tag, el.length, el.value);
    if (child == nullptr) return QX_RC_NO_MEMORY;
    tlv_append_child(parent, child);
    if (tlv_tag_is_constructed(el.tag)) {
      const qx_rc rc = parse_children(child, el.value, el.length, depth + 1);
      if (rc != QX_RC_OK) return rc;
    }
    pos += total;
  }
  return QX_RC_OK;
}

}  // namespace

extern "C" {

size_t tlv_read_tag(const uint8_t *data, size_t available, uint16_t *tag) {
  if (tag != nullptr) *tag = 0;
  if (data == nullptr || available < 1) return 0;
  if ((data[0] & 0x1F) != 0x1F) {
    if (tag != nullptr) *tag = data[0];
    return 1;
  }
  if (available < 2) return 0;
  // A second byte of 0 or with bit 7 set would start a longer tag.
  if (data[1] == 0 || (data[1] & 0x80) != 0) return 0;
  if (tag != nullptr) *tag = static_cast<uint16_t>(data[0] << 8 | data[1]);
  return 2;
}

size_t tlv_read_length(const uint8_t *data, size_t available, uint32_t *length) {
  if (length != nullptr) *length = 0;
  if (data == nullptr || available < 1) return 0;
  const uint8_t first = data[0];
  if (first < 0x80) {
    if (length != nullptr) *length = first;
    return 1;
  }
  const size_t n = first & 0x7F;
  if (n < 1 || n > 3 || available < n + 1) return 0;
  uint32_t v = 0;
  for (size_t i = 1; i <= n; ++i) v = v << 8 | data[i];
  if (length != nullptr) *length = v;
  return n + 1;
}

size_t tlv_read_validate(const uint8_t *data, tlv_element *out, size_t available) {
  if (out != nullptr) *out = tlv_element{0, 0, nullptr};
  uint16_t tag;
  uint32_t length;
  const size_t header = element_header(data, available, &tag, &length);
  if (header == 0 || length > available - header) return 0;
  if (out != nullptr) *out = tlv_element{tag, length, data + header};
  return header + length;
}

size_t tlv_read(const uint8_t *data, tlv_element *out, size_t available) {
  return tlv_read_validate(data, out, available);
}

size_t tlv_get_buffer_length(const uint8_t *data, size_t available) {
  return tlv_read_validate(data, nullptr, available);
}

int tlv_find_tag(const uint8_t *data, size_t available, uint16_t tag, tlv_element *out) {
  if (out != nullptr) *out = tlv_element{0, 0, nullptr};
  size_t pos = 0;
  while (pos < available) {
    tlv_element el;
    const size_t total = tlv_read_validate(data + pos, &el, available - pos);
    if (total == 0) return 0;
    if (el.tag == tag) {
      if (out != nullptr) *out = el;
      return 1;
    }
    pos += total;
  }
  return 0;
}

int tlv_find_nested_tag(const uint8_t *data, size_t available, const uint16_t *path, int depth,
                        tlv_element *out) {
  if (out != nullptr) *out = tlv_element{0, 0, nullptr};
  if (path == nullptr || depth <= 0) return 0;
  tlv_element el{0, 0, nullptr};
  for (int i = 0; i < depth; ++i) {
    if (!tlv_find_tag(data, available, path[i], &el)) return 0;
    data = el.value;
    available = el.length;
  }
  if (out != nullptr) *out = el;
  return 1;
}

int tlv_get_bytes_for_tag(uint16_t tag) {
  if (tag <= 0xFF) return (tag & 0x1F) == 0x1F ? 0 : 1;
  const uint8_t first = static_cast<uint8_t>(tag >> 8);
  const uint8_t second = static_cast<uint8_t>(tag);
  if ((first & 0x1F) != 0x1F || second == 0 || (second & 0x80) != 0) return 0;
  return 2;
}

int tlv_get_bytes_for_length(uint32_t length) {
  if (length < 0x80) return 1;
  if (length <= 0xFF) return 2;
  if (length <= 0xFFFF) return 3;
  return 4;
}

size_t tlv_write_tag(uint8_t *out, uint16_t tag) {
  const int n = tlv_get_bytes_for_tag(tag);
  if (n == 1) {
    out[0] = static_cast<uint8_t>(tag);
  } else if (n == 2) {
    out[0] = static_cast<uint8_t>(tag >> 8);
    out[1] = static_cast<uint8_t>(tag);
  }
  return static_cast<size_t>(n);
}

size_t tlv_write_length(uint8_t *out, uint32_t length) {
  if (length > TLV_MAX_LENGTH) return 0;
  const int n = tlv_get_bytes_for_length(length);
  if (n == 1) {
    out[0] = static_cast<uint8_t>(length);
    return 1;
  }
  out[0] = static_cast<uint8_t>(0x80 | (n - 1));
  for (int i = 1; i < n; ++i) out[i] = static_cast<uint8_t>(length >> (8 * (n - 1 - i)));
  return static_cast<size_t>(n);
}

size_t tlv_write(uint8_t *out, uint16_t tag, uint32_t length, const uint8_t *value) {
  if (tlv_get_bytes_for_tag(tag) == 0 || length > TLV_MAX_LENGTH) return 0;
  size_t n = tlv_write_tag(out, tag);
  n += tlv_write_length(out + n, length);
  if (length > 0) std::memcpy(out + n, value, length);
  return n + length;
}

uint16_t tlv_construct_tag(int tag_class, int constructed, int number) {
  if (number < 0 || number >= 128) return 0;
  const int first = (tag_class & 3) * 64 + (constructed ? 0x20 : 0);
  if (number <= 30) return static_cast<uint16_t>(first + number);
  return static_cast<uint16_t>((first + 0x1F) << 8 | number);
}

int tlv_tag_is_constructed(uint16_t tag) {
  const uint8_t first = tag > 0xFF ? static_cast<uint8_t>(tag >> 8) : static_cast<uint8_t>(tag);
  return (first & 0x20) != 0 ? 1 : 0;
}

tlv_node *tlv_create(uint16_t tag, uint32_t length, const uint8_t *value) {
  void *mem = qx_malloc(sizeof(tlv_node));
  if (mem == nullptr) return nullptr;
  tlv_node *node = new (mem) tlv_node{};
  node->tag = tag;
  if (!tlv_tag_is_constructed(tag)) {
    node->length = length;
    node->value = value;
  }
  return node;
}

qx_rc tlv_append_child(tlv_node *parent, tlv_node *child) {
  if (child == nullptr) return QX_RC_NO_MEMORY;
  if (parent == nullptr || !tlv_is_constructed(parent)) return QX_RC_INVALID_ARGUMENT;
  child->parent = parent;
  child->next = nullptr;
  child->prev = parent->last_child;
  if (parent->last_child != nullptr)
    parent->last_child->next = child;
  else
    parent->first_child = child;
  parent->last_child = child;
  ++parent->num_children;
  return QX_RC_OK;
}

qx_rc tlv_insert_child(tlv_node *parent, tlv_node *child) {
  if (child == nullptr) return QX_RC_NO_MEMORY;
  if (parent == nullptr || !tlv_is_constructed(parent)) return QX_RC_INVALID_ARGUMENT;
  child->parent = parent;
  child->prev = nullptr;
  child->next = parent->first_child;
  if (parent->first_child != nullptr)
    parent->first_child->prev = child;
  else
    parent->last_child = child;
  parent->first_child = child;
  ++parent->num_children;
  return QX_RC_OK;
}

void tlv_remove(tlv_node *node) {
  if (node == nullptr) return;
  tlv_node *parent = node->parent;
  if (node->prev != nullptr) node->prev->next = node->next;
  if (node->next != nullptr) node->next->prev = node->prev;
  if (parent != nullptr) {
    if (parent->first_child == node) parent->first_child = node->next;
    if (parent->last_child == node) parent->last_child = node->prev;
    --parent->num_children;
  }
  node->parent = node->prev = node->next = nullptr;
}

void tlv_delete(tlv_node *node) {
  if (node == nullptr) return;
  tlv_node *c = node->first_child;
  while (c != nullptr) {
    tlv_node *next = c->next;
    tlv_delete(c);
    c = next;
  }
  qx_free(node);
}

qx_rc tlv_parse_buffer(const uint8_t *data, size_t available, tlv_node **root) {
  if (root == nullptr) return QX_RC_INVALID_ARGUMENT;
  *root = nullptr;
  tlv_element el;
  if (tlv_read_validate(data, &el, available) == 0) return QX_RC_MALFORMED;
  tlv_node *node = tlv_create(el.tag, el.length, el.value);
  if (node == nullptr) return QX_RC_NO_MEMORY;
  if (tlv_is_constructed(node)) {
    const qx_rc rc = parse_children(node, el.value, el.length, 1);
    if (rc != QX_RC_OK) {
      tlv_delete(node);
      return rc;
    }
  }
  *root = node;
  return QX_RC_OK;
}

tlv_node *tlv_find_tag_in_tree(tlv_node *node, uint16_t tag) {
  for (; node != nullptr; node = node->next) {
    if (node->tag == tag) return node;
    if (tlv_node *found = tlv_find_tag_in_tree(node->first_child, tag)) return found;
  }
  return nullptr;
}

uint32_t tlv_get_length(const tlv_node *node) {
  if (node == nullptr) return 0;
  if (!tlv_is_constructed(node)) return node->length;
  uint64_t sum = 0;
  for (const tlv_node *c = node->first_child; c != nullptr; c = c->next) sum += encoded_size(c);
  return sum > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(sum);
}

uint16_t tlv_get_tag(const tlv_node *node) { return node != nullptr ? node->tag : 0; }
const uint8_t *tlv_get_value(const tlv_node *node) { return node != nullptr ? node->value : nullptr; }
tlv_node *tlv_get_first_child(const tlv_node *node) { return node != nullptr ? node->first_child : nullptr; }
tlv_node *tlv_get_last_child(const tlv_node *node) { return node != nullptr ? node->last_child : nullptr; }
tlv_node *tlv_get_next_sibling(const tlv_node *node) { return node != nullptr ? node->next : nullptr; }
tlv_node *tlv_get_previous_sibling(const tlv_node *node) { return node != nullptr ? node->prev : nullptr; }
tlv_node *tlv_get_parent(const tlv_node *node) { return node != nullptr ? node->parent : nullptr; }
int tlv_is_constructed(const tlv_node *node) { return node != nullptr && tlv_tag_is_constructed(node->tag); }
int tlv_is_primitive(const tlv_node *node) { return node != nullptr && !tlv_tag_is_constructed(node->tag); }

int tlv_get_tag_class(uint16_t tag) {
  if (tlv_get_bytes_for_tag(tag) == 0) return 3;
  const uint8_t first = tag > 0xFF ? static_cast<uint8_t>(tag >> 8) : static_cast<uint8_t>(tag);
  return first >> 6;
}

qx_rc tlv_write_tree(const tlv_node *node, uint8_t **out, size_t *size) {
  if (out != nullptr) *out = nullptr;
  if (size != nullptr) *size = 0;
  if (node == nullptr || !writable(node, 0)) return QX_RC_NO_MEMORY;
  const size_t total = encoded_size(node);
  if (size != nullptr) *size = total;
  if (out == nullptr) return QX_RC_OK;
  auto *buf = static_cast<uint8_t *>(qx_malloc(total));
  if (buf == nullptr) {
    if (size != nullptr) *size = 0;
    return QX_RC_NO_MEMORY;
  }
  write_node(node, buf);
  *out = buf;
  return QX_RC_OK;
}

}  // extern "C"
