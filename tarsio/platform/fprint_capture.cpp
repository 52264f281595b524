#include "platform/fprint_capture.h"

#include <fprint.h>

#include <cstdlib>

namespace tarsio::platform {
namespace {

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

void fail(FingerCapture* out, FingerCapture::Status status, uint32_t hr, GError* error) {
  out->status = status;
  out->hr = hr;
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

FingerCapture capture_finger_image() {
  FingerCapture out;
  Session s;
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
  fp_device_open(s.device, nullptr, on_ready, &opened);
  wait(s.context, &opened);
  s.open = fp_device_open_finish(s.device, opened.result, &error);
  g_object_unref(opened.result);
  if (!s.open) {
    fail(&out, FingerCapture::Status::kOpenFailed, kHrOpenFailed, error);
    g_clear_error(&error);
    return out;
  }

  Pending captured;
  fp_device_capture(s.device, TRUE, nullptr, on_ready, &captured);
  wait(s.context, &captured);
  FpImage* image = fp_device_capture_finish(s.device, captured.result, &error);
  g_object_unref(captured.result);
  if (image == nullptr) {
    fail(&out, FingerCapture::Status::kCaptureFailed, kHrCaptureFailed, error);
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

}  // namespace tarsio::platform
