// The engine session: typed contexts in a doubly linked list, and the named
// integer property lists (one per session, one process-wide).
#include "engine/objects/qx_session.h"

#include <cstring>

#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"
#include "engine/qx_refcount.hpp"

namespace {

struct ContextEntry {
  int32_t type;
  void *data;
  ContextEntry *next;
  ContextEntry *prev;
  qx_context_destroy_fn destroy;
};

struct Property {
  char *name;
  int32_t value;
  Property *next;
  Property *prev;
};

struct PropertyList {
  Property *first;
};

// The process-wide list: made by the first set without a session; kept
// until qx_session_clear_properties(none) discards it.
PropertyList *g_global_properties = nullptr;

void free_property(Property *p) {
  qx_free(p->name);
  qx_free(p);
}

void property_list_destroy(void *data) {
  auto *list = static_cast<PropertyList *>(data);
  if (list == nullptr) return;
  Property *p = list->first;
  while (p != nullptr) {
    Property *next = p->next;
    free_property(p);
    p = next;
  }
  qx_free(list);
}

Property *find_property(const PropertyList *list, const char *name) {
  if (list == nullptr || name == nullptr) return nullptr;
  for (Property *p = list->first; p != nullptr; p = p->next) {
    if (std::strcmp(p->name, name) == 0) return p;
  }
  return nullptr;
}

}  // namespace

struct qx_session {
  int32_t refs;
  ContextEntry *first;
  ContextEntry *last;
  int32_t count;
  void *probe_scope;  // not owned: a scope on the stack of the running call
  void *parts_store;  // not owned: set by a scope on the stack of the running call
  void (*destroy)(qx_session *);
};

namespace {

ContextEntry *find_entry(const qx_session *session, int32_t type) {
  for (ContextEntry *e = session->first; e != nullptr; e = e->next) {
    if (e->type == type) return e;
  }
  return nullptr;
}

void unlink_entry(qx_session *session, ContextEntry *e) {
  if (e->prev != nullptr) e->prev->next = e->next; else session->first = e->next;
  if (e->next != nullptr) e->next->prev = e->prev; else session->last = e->prev;
  --session->count;
}

void destroy_session(qx_session *session) {
  // Head first: each context's destroy function runs on its data.
  ContextEntry *e = session->first;
  while (e != nullptr) {
    ContextEntry *next = e->next;
    if (e->destroy != nullptr) e->destroy(e->data);
    qx_free(e);
    e = next;
  }
  qx_free(session);
}

PropertyList *session_properties(const qx_session *session) {
  return static_cast<PropertyList *>(
      qx_session_get_context(session, QX_CONTEXT_PROPERTIES));
}

}  // namespace

extern "C" {

qx_session *qx_session_create(void) {
  auto *s = static_cast<qx_session *>(qx_calloc(1, sizeof(qx_session)));
  if (s == nullptr) return nullptr;
  s->refs = 1;
  s->destroy = destroy_session;
  return s;
}

qx_session *qx_session_retain(qx_session *session) {
  return qx::retain(session);
}

void qx_session_delete(qx_session *session) {
  qx::release(session);
}

int32_t qx_session_get_num_refs(const qx_session *session) {
  return qx::num_refs(session);
}

int32_t qx_session_set_context(qx_session *session, void *data, int32_t type,
                               qx_context_destroy_fn destroy) {
  if (session == nullptr) return QX_RC_BAD_ARGUMENT;
  // Allocate first so that a failure leaves the old context untouched.
  auto *entry = static_cast<ContextEntry *>(qx_calloc(1, sizeof(ContextEntry)));
  if (entry == nullptr) return QX_RC_NO_MEMORY;
  qx_session_remove_context(session, type);
  entry->type = type;
  entry->data = data;
  entry->destroy = destroy;
  entry->next = session->first;
  if (session->first != nullptr) session->first->prev = entry; else session->last = entry;
  session->first = entry;
  ++session->count;
  return QX_RC_OK;
}

void *qx_session_get_context(const qx_session *session, int32_t type) {
  if (session == nullptr) return nullptr;
  ContextEntry *e = find_entry(session, type);
  return e != nullptr ? e->data : nullptr;
}

void qx_session_remove_context(qx_session *session, int32_t type) {
  if (session == nullptr) return;
  ContextEntry *e = find_entry(session, type);
  if (e == nullptr) return;
  unlink_entry(session, e);
  if (e->destroy != nullptr) e->destroy(e->data);
  qx_free(e);
}

void *qx_session_get_probe_scope(const qx_session *session) {
  return session != nullptr ? session->probe_scope : nullptr;
}

void qx_session_set_probe_scope(qx_session *session, void *scope) {
  if (session != nullptr) session->probe_scope = scope;
}

void *qx_session_get_parts_store(const qx_session *session) {
  return session != nullptr ? session->parts_store : nullptr;
}

void qx_session_set_parts_store(qx_session *session, void *store) {
  if (session != nullptr) session->parts_store = store;
}

qx_algorithm *qx_session_get_algorithm(const qx_session *session) {
  return static_cast<qx_algorithm *>(qx_session_get_context(session, QX_CONTEXT_ALGORITHM));
}

int32_t qx_session_get_num_contexts(const qx_session *session) {
  return session != nullptr ? session->count : 0;
}

int32_t qx_session_set_int(qx_session *session, const char *name, int32_t value) {
  if (name == nullptr) return QX_RC_BAD_ARGUMENT;
  PropertyList *list = session != nullptr ? session_properties(session) : g_global_properties;
  if (Property *p = find_property(list, name)) {
    p->value = value;
    return QX_RC_OK;
  }
  // Build the new property before creating a list for it, so that a
  // failure leaves no empty list behind.
  const std::size_t len = std::strlen(name);
  auto *p = static_cast<Property *>(qx_calloc(1, sizeof(Property)));
  char *copy = static_cast<char *>(qx_calloc(1, len + 1));
  if (p == nullptr || copy == nullptr) {
    qx_free(p);
    qx_free(copy);
    return QX_RC_NO_MEMORY;
  }
  std::memcpy(copy, name, len + 1);
  p->name = copy;
  p->value = value;
  if (list == nullptr) {
    list = static_cast<PropertyList *>(qx_calloc(1, sizeof(PropertyList)));
    if (list == nullptr) {
      free_property(p);
      return QX_RC_NO_MEMORY;
    }
    if (session != nullptr) {
      if (qx_session_set_context(session, list, QX_CONTEXT_PROPERTIES,
                                 property_list_destroy) != 0) {
        qx_free(list);
        free_property(p);
        return QX_RC_NO_MEMORY;
      }
    } else {
      g_global_properties = list;
    }
  }
  p->next = list->first;
  if (list->first != nullptr) list->first->prev = p;
  list->first = p;
  return QX_RC_OK;
}

int32_t qx_session_get_int(const qx_session *session, const char *name,
                           int32_t default_value) {
  if (session != nullptr) {
    if (const Property *p = find_property(session_properties(session), name)) return p->value;
  }
  if (const Property *p = find_property(g_global_properties, name)) return p->value;
  return default_value;
}

void qx_session_clear_property(qx_session *session, const char *name) {
  PropertyList *list = session != nullptr ? session_properties(session) : g_global_properties;
  Property *p = find_property(list, name);
  if (p == nullptr) return;
  if (p->prev != nullptr) p->prev->next = p->next; else list->first = p->next;
  if (p->next != nullptr) p->next->prev = p->prev;
  free_property(p);
}

void qx_session_clear_properties(qx_session *session) {
  if (session != nullptr) {
    qx_session_remove_context(session, QX_CONTEXT_PROPERTIES);
  } else {
    property_list_destroy(g_global_properties);
    g_global_properties = nullptr;
  }
}

int32_t qx_session_get_sensor_size(const qx_session *session) {
  return qx_session_get_int(session, QX_PROP_SENSOR_SIZE, 0);
}
int32_t qx_session_get_sensor_type(const qx_session *session) {
  return qx_session_get_int(session, QX_PROP_SENSOR_TYPE, 0);
}
int32_t qx_session_get_360_state(const qx_session *session) {
  return qx_session_get_int(session, QX_PROP_360, 1);
}
int32_t qx_session_get_slice_rows(const qx_session *session) {
  return qx_session_get_int(session, QX_PROP_SLICE_ROWS, 96);
}
int32_t qx_session_set_sensor_size_(qx_session *session, int32_t value) {
  return qx_session_set_int(session, QX_PROP_SENSOR_SIZE, value);
}
int32_t qx_session_set_sensor_type_(qx_session *session, int32_t value) {
  return qx_session_set_int(session, QX_PROP_SENSOR_TYPE, value);
}
int32_t qx_session_set_360_state_(qx_session *session, int32_t value) {
  return qx_session_set_int(session, QX_PROP_360, value);
}
int32_t qx_session_set_slice_rows_(qx_session *session, int32_t value) {
  return qx_session_set_int(session, QX_PROP_SLICE_ROWS, value);
}

}  // extern "C"
