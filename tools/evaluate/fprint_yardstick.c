/* fprint-yardstick: the comparisons of the evaluation's 1:1 protocol run
 * through Debian's libfprint, as a known reference.  libfprint's virtual
 * image device plays the sensor: this program connects to the device's
 * socket as the finger and sends it the crops that lumetra-evaluate wrote,
 * so that libfprint's own pipeline (its NIST-derived minutiae detector and
 * bozorth3 matcher) enrols and verifies them exactly as it would a capture.
 *
 *   fprint-yardstick CROPDIR SIZE SCORES.tsv OUT.tsv
 *
 * CROPDIR holds <finger>_<impression>.raw (SIZE x SIZE grey bytes, top row
 * first); SCORES.tsv is lumetra-evaluate's pair list (kind, finger and
 * impression of both sides).  The first side of each pair is enrolled (the
 * device asks for several captures: the same crop is given each time), the
 * second is verified against it.  libfprint reports a verification as
 * match or no match only; its matcher's score is read from libfprint's own
 * debug message "score S/T" (S the bozorth3 score, T its threshold), the
 * best over the enrolled captures, which is the number it decides with.
 *
 * OUT.tsv: kind, fingers and impressions, score (-1 when there is none),
 * match (libfprint's decision), status (ok, retry: the device refused the
 * capture as too poor; enrol_failed; error), wall-clock milliseconds. */
#include <fprint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#define MAX_NAME 128
#define OP_TIMEOUT_MS 20000

typedef struct {
  char kind[16], fa[MAX_NAME], fb[MAX_NAME];
  int ia, ib;
} Pair;

typedef struct {
  char finger[MAX_NAME];
  int impression;
  FpPrint *print; /* NULL: enrolment failed */
  int tried;
} Template;

static int g_sock = -1;
static int g_size;
static const char *g_cropdir;
static int g_best_score = -1, g_threshold = -1;

/* Keeps libfprint's matcher scores; lets warnings through, drops the rest
 * of its debug chatter. */
static GLogWriterOutput log_writer(GLogLevelFlags level, const GLogField *fields, gsize n, gpointer data) {
  (void)data;
  const char *domain = "", *message = "";
  for (gsize i = 0; i < n; i++) {
    if (strcmp(fields[i].key, "GLIB_DOMAIN") == 0 && fields[i].length < 0) domain = fields[i].value;
    if (strcmp(fields[i].key, "MESSAGE") == 0 && fields[i].length < 0) message = fields[i].value;
  }
  int s = 0, t = 0;
  if (strcmp(domain, "libfprint-print") == 0 && sscanf(message, "score %d/%d", &s, &t) == 2) {
    if (s > g_best_score) g_best_score = s;
    g_threshold = t;
    return G_LOG_WRITER_HANDLED;
  }
  if (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING))
    return g_log_writer_default(level, fields, n, data);
  return G_LOG_WRITER_HANDLED;
}

/* Sends one crop to the device: width, height (native 32-bit integers),
 * then the pixels. */
static int feed(const char *finger, int impression) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s_%d.raw", g_cropdir, finger, impression);
  FILE *f = fopen(path, "rb");
  if (f == NULL) return -1;
  size_t n = (size_t)g_size * (size_t)g_size;
  unsigned char *px = malloc(n + 1);
  size_t got = px ? fread(px, 1, n + 1, f) : 0;
  fclose(f);
  if (got != n) { /* exactly SIZE x SIZE bytes, nothing more */
    free(px);
    return -1;
  }
  int32_t header[2] = {g_size, g_size};
  int ok = write(g_sock, header, sizeof header) == (ssize_t)sizeof header;
  for (size_t done = 0; ok && done < n;) {
    ssize_t w = write(g_sock, px + done, n - done);
    if (w <= 0) ok = 0;
    else done += (size_t)w;
  }
  free(px);
  return ok ? 0 : -1;
}

typedef struct {
  GAsyncResult *result;
  int done;
} Pending;

static void on_ready(GObject *source, GAsyncResult *result, gpointer data) {
  (void)source;
  Pending *p = data;
  p->result = g_object_ref(result);
  p->done = 1;
}

static gboolean on_timeout(gpointer data) {
  g_cancellable_cancel(G_CANCELLABLE(data));
  return G_SOURCE_REMOVE;
}

/* Runs the main context until the operation finishes; cancels it when it
 * takes longer than OP_TIMEOUT_MS (a device waiting for a capture that
 * never comes). */
static void wait_for(Pending *p, GCancellable *cancel) {
  guint timer = g_timeout_add(OP_TIMEOUT_MS, on_timeout, cancel);
  while (!p->done) g_main_context_iteration(NULL, TRUE);
  if (!g_cancellable_is_cancelled(cancel)) g_source_remove(timer);
}

typedef struct {
  Template *tpl;
  int stages, retry;
  GCancellable *cancel;
} EnrolState;

/* Each completed stage asks for the next capture: the same crop again.  A
 * capture the device refuses would be refused again, so it ends the
 * enrolment. */
static void on_progress(FpDevice *device, gint completed, FpPrint *print, gpointer data, GError *error) {
  (void)device;
  (void)print;
  EnrolState *st = data;
  if (error != NULL) {
    st->retry = 1;
    g_cancellable_cancel(st->cancel);
    return;
  }
  if (completed < st->stages && feed(st->tpl->finger, st->tpl->impression) != 0) g_cancellable_cancel(st->cancel);
}

static void enrol(FpDevice *dev, Template *t) {
  t->tried = 1;
  EnrolState st = {t, fp_device_get_nr_enroll_stages(dev), 0, g_cancellable_new()};
  if (feed(t->finger, t->impression) != 0) {
    g_object_unref(st.cancel);
    return;
  }
  Pending p = {NULL, 0};
  fp_device_enroll(dev, fp_print_new(dev), st.cancel, on_progress, &st, NULL, on_ready, &p);
  wait_for(&p, st.cancel);
  GError *error = NULL;
  t->print = fp_device_enroll_finish(dev, p.result, &error);
  g_object_unref(p.result);
  g_clear_error(&error);
  g_object_unref(st.cancel);
}

static double ms_since(const struct timespec *t0) {
  struct timespec t1;
  clock_gettime(CLOCK_MONOTONIC, &t1);
  return (t1.tv_sec - t0->tv_sec) * 1e3 + (t1.tv_nsec - t0->tv_nsec) / 1e6;
}

static Template *template_of(Template *list, int n, const char *finger, int impression) {
  for (int i = 0; i < n; i++)
    if (list[i].impression == impression && strcmp(list[i].finger, finger) == 0) return &list[i];
  return NULL;
}

int main(int argc, char **argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: fprint-yardstick CROPDIR SIZE SCORES.tsv OUT.tsv\n");
    return 2;
  }
  g_cropdir = argv[1];
  g_size = atoi(argv[2]);
  if (g_size < 16 || g_size > 2048) {
    fprintf(stderr, "fprint-yardstick: bad size %s\n", argv[2]);
    return 2;
  }

  /* The pair list. */
  FILE *in = fopen(argv[3], "r");
  if (in == NULL) {
    fprintf(stderr, "fprint-yardstick: cannot read %s\n", argv[3]);
    return 2;
  }
  char line[1024];
  size_t npairs = 0, cap = 0;
  Pair *pairs = NULL;
  while (fgets(line, sizeof line, in) != NULL) {
    Pair p;
    if (sscanf(line, "%15s %127s %d %127s %d", p.kind, p.fa, &p.ia, p.fb, &p.ib) != 5) continue;
    if (strcmp(p.kind, "genuine") != 0 && strcmp(p.kind, "impostor") != 0) continue;
    if (npairs == cap) {
      cap = cap ? 2 * cap : 256;
      Pair *grown = realloc(pairs, cap * sizeof *pairs);
      if (grown == NULL) return 2;
      pairs = grown;
    }
    pairs[npairs++] = p;
  }
  fclose(in);

  /* libfprint finds the virtual image device through this variable, and
   * listens on the socket it names once the device is open. */
  char dir[] = "/tmp/fprint-yardstick-XXXXXX";
  if (mkdtemp(dir) == NULL) return 2;
  char sock_path[sizeof dir + 16];
  snprintf(sock_path, sizeof sock_path, "%s/image.sock", dir);
  setenv("FP_VIRTUAL_IMAGE", sock_path, 1);
  setenv("G_MESSAGES_DEBUG", "libfprint-print", 1);
  g_log_set_writer_func(log_writer, NULL, NULL);

  int status = 0;
  FpContext *ctx = fp_context_new();
  GPtrArray *devices = fp_context_get_devices(ctx);
  FpDevice *dev = NULL;
  for (guint i = 0; devices != NULL && i < devices->len; i++)
    if (strcmp(fp_device_get_driver(g_ptr_array_index(devices, i)), "virtual_image") == 0)
      dev = g_ptr_array_index(devices, i);
  if (dev == NULL) {
    fprintf(stderr, "fprint-yardstick: libfprint offers no virtual image device\n");
    status = 3;
    goto done;
  }
  Pending opened = {NULL, 0};
  GCancellable *open_cancel = g_cancellable_new();
  fp_device_open(dev, open_cancel, on_ready, &opened);
  wait_for(&opened, open_cancel);
  g_object_unref(open_cancel);
  GError *error = NULL;
  if (!fp_device_open_finish(dev, opened.result, &error)) {
    fprintf(stderr, "fprint-yardstick: cannot open the virtual image device: %s\n", error ? error->message : "");
    g_clear_error(&error);
    g_object_unref(opened.result);
    status = 3;
    goto done;
  }
  g_object_unref(opened.result);
  g_sock = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock_path);
  if (g_sock < 0 || connect(g_sock, (struct sockaddr *)&addr, sizeof addr) != 0) {
    fprintf(stderr, "fprint-yardstick: cannot connect to the virtual image device\n");
    status = 3;
    goto close_device;
  }

  FILE *out = fopen(argv[4], "w");
  if (out == NULL) {
    status = 2;
    goto close_device;
  }
  fprintf(out, "kind\tfinger_a\timpression_a\tfinger_b\timpression_b\tscore\tmatch\tstatus\twall_ms\tthreshold\n");
  Template *templates = calloc(npairs ? npairs : 1, sizeof *templates);
  int ntemplates = 0;
  for (size_t k = 0; k < npairs && templates != NULL; k++) {
    const Pair *p = &pairs[k];
    /* One progress line per finger's genuine pairs, and one for the
       impostors, as lumetra-evaluate prints them. */
    const Pair *prev = k > 0 ? &pairs[k - 1] : NULL;
    const int genuine = strcmp(p->kind, "genuine") == 0;
    if (prev == NULL || strcmp(p->kind, prev->kind) != 0 || (genuine && strcmp(p->fa, prev->fa) != 0)) {
      if (genuine) printf("  libfprint: genuine pairs of finger %s\n", p->fa);
      else printf("  libfprint: impostor pairs\n");
      fflush(stdout);
    }
    Template *t = template_of(templates, ntemplates, p->fa, p->ia);
    if (t == NULL) {
      t = &templates[ntemplates++];
      snprintf(t->finger, sizeof t->finger, "%s", p->fa);
      t->impression = p->ia;
      enrol(dev, t);
    }
    const char *state = "ok";
    int score = -1;
    gboolean match = FALSE;
    struct timespec t0;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    if (t->print == NULL) {
      state = "enrol_failed";
    } else if (feed(p->fb, p->ib) != 0) {
      state = "error";
    } else {
      g_best_score = -1;
      GCancellable *cancel = g_cancellable_new();
      Pending verified = {NULL, 0};
      fp_device_verify(dev, t->print, cancel, NULL, NULL, NULL, on_ready, &verified);
      wait_for(&verified, cancel);
      if (!fp_device_verify_finish(dev, verified.result, &match, NULL, &error)) {
        state = error != NULL && error->domain == FP_DEVICE_RETRY ? "retry" : "error";
        match = FALSE;
      }
      g_clear_error(&error);
      g_object_unref(verified.result);
      g_object_unref(cancel);
      score = g_best_score;
    }
    fprintf(out, "%s\t%s\t%d\t%s\t%d\t%d\t%d\t%s\t%.3f\t%d\n", p->kind, p->fa, p->ia, p->fb, p->ib, score,
            match ? 1 : 0, state, ms_since(&t0), g_threshold);
  }
  for (int i = 0; templates != NULL && i < ntemplates; i++)
    if (templates[i].print) g_object_unref(templates[i].print);
  free(templates);
  if (fclose(out) != 0) status = 2;

close_device:
  if (g_sock >= 0) close(g_sock);
  {
    Pending closed = {NULL, 0};
    fp_device_close(dev, NULL, on_ready, &closed);
    while (!closed.done) g_main_context_iteration(NULL, TRUE);
    fp_device_close_finish(dev, closed.result, NULL);
    g_object_unref(closed.result);
  }
done:
  g_object_unref(ctx);
  unlink(sock_path);
  rmdir(dir);
  free(pairs);
  return status;
}
