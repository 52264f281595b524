#include "platform/fprint_capture.h"

#include <fprint.h>
#include <glib-unix.h>

#include <cstdlib>
#include <mutex>

namespace tarsio::platform {
namespace {

// The cancellable of the capture under way, for cancel_finger_capture().
std::mutex g_current_lock;
GCancellable* g_current = nullptr;

// Registers a capture's cancellable for the life of the object, and removes
// its time limit and its watch on the module on every path.
struct CancelScope {
  GCancellable* cancellable = g_cancellable_new();
  GSource* timer = nullptr;
  GSource* presence = nullptr;
  bool timed_out = false;
  bool module_gone = false;

  CancelScope(GMainContext* context, int timeout_ms, int presence_fd) {
    {
      std::lock_guard<std::mutex> guard(g_current_lock);
      g_current = cancellable;
    }
    if (timeout_ms > 0) {
      timer = g_timeout_source_new(static_cast<guint>(timeout_ms));
      g_source_set_callback(timer, &CancelScope::expire, this, nullptr);
      g_source_attach(timer, context);
    }
    if (presence_fd >= 0) {
      // The module never writes on its watch: readable means closed.
      presence = g_unix_fd_source_new(presence_fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR));
      g_source_set_callback(presence, G_SOURCE_FUNC(&CancelScope::gone), this, nullptr);
      g_source_attach(presence, context);
    }
  }
  ~CancelScope() {
    {
      std::lock_guard<std::mutex> guard(g_current_lock);
      g_current = nullptr;
    }
    for (GSource* source : {timer, presence}) {
      if (source == nullptr) continue;
      g_source_destroy(source);
      g_source_unref(source);
    }
    g_object_unref(cancellable);
  }
  CancelScope(const CancelScope&) = delete;
  CancelScope& operator=(const CancelScope&) = delete;

  static gboolean expire(gpointer data) {
    auto* self = static_cast<CancelScope*>(data);
    self->timed_out = true;
    g_cancellable_cancel(self->cancellable);
    return G_SOURCE_REMOVE;
  }
  static gboolean gone(gint, GIOCondition, gpointer data) {
    auto* self = static_cast<CancelScope*>(data);
    self->module_gone = true;
    g_cancellable_cancel(self->cancellable);
    return G_SOURCE_REMOVE;
  }
};

// The state of one asynchronous libfprint call, finished on our own context.
struct Pending {
  bool done = false;
  GAsyncResult* result = nullptr;
};

void on_ready(GObject*, GAsyncResult* result, gpointer data) {
  auto* p = static_cast<Pending*>(data);
  p->result = G_ASYNC_RESULT(g_object_ref(result));
  p->done = true;
}

void wait(GMainContext* context, Pending* p) {
  while (!p->done) g_main_context_iteration(context, TRUE);
}

void fail(FingerCapture* out, FingerCapture::Status status, uint32_t hr, GError* error,
          const CancelScope& scope, int timeout_ms) {
  out->status = status;
  out->hr = hr;
  if (error != nullptr && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
    out->hr = scope.timed_out ? kHrTimeout : kHrCanceled;
    out->message = scope.timed_out     ? "no finger within " + std::to_string(timeout_ms / 1000) + " s"
                   : scope.module_gone ? "capture cancelled: the module went away (its channel closed)"
                                       : "capture cancelled (module removed or program closing)";
    return;
  }
  if (error != nullptr) {
    out->message = error->message != nullptr ? error->message : "";
    if (error->domain == FP_DEVICE_RETRY) {
      out->hr = kHrBadCapture;
      out->reject_detail = error->code;
    }
  }
}

// Releases what one capture took, on every path.  libfprint enumerates and
// finishes its calls on the global default context (not a thread default),
// so that is the context iterated here.
struct Session {
  GMainContext* context = g_main_context_default();
  FpContext* fp = nullptr;
  FpDevice* device = nullptr;
  bool open = false;

  ~Session() {
    if (open) {
      Pending closed;
      fp_device_close(device, nullptr, on_ready, &closed);
      wait(context, &closed);
      fp_device_close_finish(device, closed.result, nullptr);
      g_object_unref(closed.result);
    }
    if (device != nullptr) g_object_unref(device);
    if (fp != nullptr) g_object_unref(fp);
    // Let libfprint's last idle callbacks run before returning.
    while (g_main_context_iteration(context, FALSE)) {
    }
  }
};

}  // namespace

FingerCapture capture_finger_image(int timeout_ms, int presence_fd) {
  FingerCapture out;
  Session s;
  // Declared after the session, so it goes first: the time limit and the
  // watch are gone before the device is closed, and the close itself is
  // never cancelled.
  CancelScope scope(s.context, timeout_ms, presence_fd);
  s.fp = fp_context_new();
  GPtrArray* devices = fp_context_get_devices(s.fp);
  if (devices == nullptr || devices->len == 0) {
    out.status = FingerCapture::Status::kOpenFailed;
    out.hr = kHrNoDevice;
    out.message = "no fingerprint device";
    return out;
  }
  s.device = FP_DEVICE(g_object_ref(g_ptr_array_index(devices, 0)));

  GError* error = nullptr;
  Pending opened;
  fp_device_open(s.device, scope.cancellable, on_ready, &opened);
  wait(s.context, &opened);
  s.open = fp_device_open_finish(s.device, opened.result, &error);
  g_object_unref(opened.result);
  if (!s.open) {
    fail(&out, FingerCapture::Status::kOpenFailed, kHrOpenFailed, error, scope, timeout_ms);
    g_clear_error(&error);
    return out;
  }

  Pending captured;
  fp_device_capture(s.device, TRUE, scope.cancellable, on_ready, &captured);
  wait(s.context, &captured);
  FpImage* image = fp_device_capture_finish(s.device, captured.result, &error);
  g_object_unref(captured.result);
  if (image == nullptr) {
    fail(&out, FingerCapture::Status::kCaptureFailed, kHrCaptureFailed, error, scope, timeout_ms);
    g_clear_error(&error);
    return out;
  }
  gsize size = 0;
  const guchar* data = fp_image_get_data(image, &size);
  const auto width = static_cast<std::size_t>(fp_image_get_width(image));
  const auto height = static_cast<std::size_t>(fp_image_get_height(image));
  if (data == nullptr || size < width * height) {
    out.status = FingerCapture::Status::kCaptureFailed;
    out.hr = kHrCaptureFailed;
    out.message = "image shorter than its size";
  } else {
    out.status = FingerCapture::Status::kOk;
    out.width = static_cast<int>(width);
    out.height = static_cast<int>(height);
    out.pixels.assign(data, data + width * height);
  }
  g_object_unref(image);
  return out;
}

}  // namespace tarsio::platform

namespace tarsio::platform {

void prepare_finger_capture() { ::setenv("QT_NO_GLIB", "1", 0); }

void cancel_finger_capture() {
  std::lock_guard<std::mutex> guard(g_current_lock);
  if (g_current != nullptr) g_cancellable_cancel(g_current);
}

}  // namespace tarsio::platform
