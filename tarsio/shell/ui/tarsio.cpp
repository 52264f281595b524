// The station program: logging first, then the single-instance check, then
// the main dialog, run modally.
//
// Command-line options (for line tooling and tests; the station itself takes
// none):
//   --screenshot FILE     save a PNG of the dialog and quit
//   --screenshot-delay MS wait this long after the dialog is shown (1500)
//   --about-screenshot FILE  also save a PNG of the About box
//   --close-screenshot FILE  save a PNG of the dialog when it closes
//   --unattended          log message boxes instead of waiting for an operator
//                         (also TARSIO_UNATTENDED=1), so a line script never
//                         hangs on one
//   --summary DIR [--json]  yield per item and the last failures from the
//                         run record of the station directory DIR
//   --help, --version     (these and --summary need no display)
//
// For tests only: with TARSIO_TEST_CLOSE_ON_SIGUSR1=1, SIGUSR1 stands for
// the window's close button.  A thread of its own hands the close request to
// the window the way the window system does (an event queued for the dialog
// thread, taken when that thread handles events), so that a test can press
// the close button while the dialog thread is busy with an item.
//
// SIGTERM, SIGINT and SIGHUP close the main window as its close button does:
// the close handling runs and the exit code is 12 or 21, so a line script
// that gives up on a run still gets a verdict and a result file.  They are
// caught from the first moment: one that arrives before the window is up
// closes it as soon as it is.
#define TARSIO_LOG_SOURCE "tarsio"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QWindow>
#include <atomic>
#include <thread>
#include <string>
#include <memory>
#include <QCommandLineParser>
#include <QPixmap>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "platform/fprint_capture.h"
#include "platform/instance_lock.h"
#include "shell/keeping.h"
#include "shell/log.h"
#include "shell/ui/run_record_json.h"
#include "shell/ui/tarsio_dialog.h"

namespace {

int g_close_pipe[2] = {-1, -1};
volatile std::sig_atomic_t g_close_signal = 0;

void request_close(int signal_number) {
  if (g_close_signal == 0) g_close_signal = signal_number;
  const char byte = 1;
  if (::write(g_close_pipe[1], &byte, 1) < 0) {
  }
}

void catch_close_signals() {
  if (::pipe2(g_close_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction action = {};
  action.sa_handler = request_close;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(s, &action, nullptr);
}

int g_window_close_pipe[2] = {-1, -1};
std::atomic<QWindow *> g_main_window{nullptr};

void press_close_button(int) {
  const char byte = 1;
  if (::write(g_window_close_pipe[1], &byte, 1) < 0) {
  }
}

// The test hook's thread: each SIGUSR1 queues one close event for the main
// window (QCoreApplication::postEvent may be called from any thread).
void watch_close_button_hook() {
  if (qEnvironmentVariableIntValue("TARSIO_TEST_CLOSE_ON_SIGUSR1") == 0) return;
  if (::pipe2(g_window_close_pipe, O_CLOEXEC) != 0) return;
  struct sigaction action = {};
  action.sa_handler = press_close_button;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGUSR1, &action, nullptr);
  std::thread([] {
    char byte;
    for (;;) {
      const ssize_t n = ::read(g_window_close_pipe[0], &byte, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      if (QWindow *window = g_main_window.load()) QCoreApplication::postEvent(window, new QCloseEvent);
    }
  }).detach();
}

struct StationOptions {
  QCommandLineOption shot{QStringLiteral("screenshot"), "Save a PNG of the dialog to FILE and quit.", "FILE"};
  QCommandLineOption delay{QStringLiteral("screenshot-delay"), "Milliseconds before the screenshot.", "MS", "1500"};
  QCommandLineOption about_shot{QStringLiteral("about-screenshot"), "Also save a PNG of the About box.", "FILE"};
  QCommandLineOption unattended{QStringLiteral("unattended"), "Log message boxes instead of showing them."};
  QCommandLineOption close_shot{QStringLiteral("close-screenshot"), "Save a PNG of the dialog when it closes.",
                                "FILE"};
  QCommandLineOption summary{QStringLiteral("summary"),
                             "Print the yield per item and the last failures of the station directory DIR's runs.",
                             "DIR"};
  QCommandLineOption json{QStringLiteral("json"), "With --summary: print JSON."};

  void add_to(QCommandLineParser &parser) const {
    parser.setApplicationDescription(QStringLiteral("Factory test station for a fingerprint sensor module."));
    for (const auto *o : {&shot, &about_shot, &delay, &unattended, &close_shot, &summary, &json})
      parser.addOption(*o);
    parser.addHelpOption();
    parser.addVersionOption();
  }
};

// The options answered without a display, by a core application only.
bool headless_request(int argc, char *argv[]) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help" || a == "--help-all" || a == "-v" || a == "--version" || a == "--summary" ||
        a.rfind("--summary=", 0) == 0)
      return true;
  }
  return false;
}

void name_application() {
  QCoreApplication::setApplicationName(QStringLiteral("Tarsio"));
  QCoreApplication::setApplicationVersion(QStringLiteral(TARSIO_VERSION));
}

int run_headless(int argc, char *argv[]) {
  QCoreApplication app(argc, argv);
  name_application();
  QCommandLineParser parser;
  StationOptions options;
  options.add_to(parser);
  parser.process(app);  // --help and --version print and end the program here
  return tarsio::shell::ui::print_run_summary(parser.value(options.summary), parser.isSet(options.json));
}

}  // namespace

int main(int argc, char *argv[]) {
  catch_close_signals();
  if (headless_request(argc, argv)) return run_headless(argc, argv);
  watch_close_button_hook();
  // The scene test's libfprint captures need GLib's default main context.
  tarsio::platform::prepare_finger_capture();
  QApplication app(argc, argv);
  name_application();

  QCommandLineParser parser;
  StationOptions options;
  options.add_to(parser);
  parser.process(app);
  const QCommandLineOption &shot = options.shot, &delay = options.delay, &about_shot = options.about_shot,
                           &unattended = options.unattended, &close_shot = options.close_shot;

  tarsio::shell::initlog();

  // The lock is held for the life of the process and released by the kernel
  // when it ends.
  static tarsio::platform::InstanceLock instance;
  if (instance.acquire("Velmora") == tarsio::platform::InstanceLockResult::kAlreadyRunning) {
    TLOG_E("CTarsioApp::InitInstance", "the app has exist");
    return 0;
  }
  // Only the copy that runs keeps the appended files bounded, and only now,
  // before any run: no run is split across two files.
  tarsio::shell::rotate_appended_files();
  TLOG_I("InitInstance", "the app is first running");
  {
    // The log's time stamps carry no date: the start says it once.
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char date[40];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S (UTC%z)", &local);
    TLOG_I("InitInstance", "Tarsio %s started %s", TARSIO_VERSION, date);
  }

  tarsio::shell::ui::CTarsioDlg dlg;
  dlg.set_unattended(parser.isSet(unattended) || qEnvironmentVariableIntValue("TARSIO_UNATTENDED") != 0);
  if (parser.isSet(close_shot)) dlg.set_close_screenshot(parser.value(close_shot));
  dlg.OnInitDialog();
  // The signal only writes a byte; the close runs on the dialog thread.
  // One that came before the window was up waits in the pipe and closes it
  // as soon as the event loop runs.
  dlg.set_close_pending_check([] { return static_cast<int>(g_close_signal); });
  std::unique_ptr<QSocketNotifier> close_notifier;
  if (g_close_pipe[0] >= 0) {
    close_notifier = std::make_unique<QSocketNotifier>(g_close_pipe[0], QSocketNotifier::Read);
    QObject::connect(close_notifier.get(), &QSocketNotifier::activated, &dlg, [&dlg] {
      char byte;
      while (::read(g_close_pipe[0], &byte, 1) > 0) {
      }
      dlg.close_for_signal(static_cast<int>(g_close_signal));
    });
  }
  int shot_result = 0;
  if (parser.isSet(shot)) {
    const QString file = parser.value(shot);
    const QString about_file = parser.value(about_shot);
    QTimer::singleShot(parser.value(delay).toInt(), &dlg, [&dlg, &shot_result, file, about_file] {
      shot_result = dlg.grab().save(file, "PNG") ? 0 : 1;
      if (!about_file.isEmpty()) {
        auto about = dlg.make_about_box();
        about->show();
        if (!about->grab().save(about_file, "PNG")) shot_result = 1;
      }
      dlg.done(0);
    });
  }
  QTimer::singleShot(0, &dlg, [&dlg] { g_main_window.store(dlg.windowHandle()); });
  // Escape ends the dialog through the toolkit's cancel: the close handling
  // does not run and the exit code is 0, neither pass nor fail.
  dlg.exec();
  return shot_result;
}
