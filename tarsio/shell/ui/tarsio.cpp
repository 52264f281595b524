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
//
// SIGTERM and SIGINT close the main window as its close button does: the
// close handling runs and the exit code is 12 or 21, so a line script that
// gives up on a run still gets a verdict and a result file.
#define TARSIO_LOG_SOURCE "tarsio"

#include <QApplication>
#include <memory>
#include <QCommandLineParser>
#include <QPixmap>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "platform/fprint_capture.h"
#include "platform/instance_lock.h"
#include "shell/log.h"
#include "shell/ui/tarsio_dialog.h"

namespace {

int g_close_pipe[2] = {-1, -1};

void request_close(int) {
  const char byte = 1;
  if (::write(g_close_pipe[1], &byte, 1) < 0) {
  }
}

}  // namespace

int main(int argc, char *argv[]) {
  // The scene test's libfprint captures need GLib's default main context.
  tarsio::platform::prepare_finger_capture();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tarsio"));

  QCommandLineParser parser;
  QCommandLineOption shot(QStringLiteral("screenshot"), "Save a PNG of the dialog to FILE and quit.", "FILE");
  QCommandLineOption delay(QStringLiteral("screenshot-delay"), "Milliseconds before the screenshot.", "MS", "1500");
  QCommandLineOption about_shot(QStringLiteral("about-screenshot"), "Also save a PNG of the About box.", "FILE");
  QCommandLineOption unattended(QStringLiteral("unattended"), "Log message boxes instead of showing them.");
  QCommandLineOption close_shot(QStringLiteral("close-screenshot"), "Save a PNG of the dialog when it closes.",
                                "FILE");
  parser.addOption(shot);
  parser.addOption(about_shot);
  parser.addOption(delay);
  parser.addOption(unattended);
  parser.addOption(close_shot);
  parser.addHelpOption();
  parser.process(app);

  tarsio::shell::initlog();

  // The lock is held for the life of the process and released by the kernel
  // when it ends.
  static tarsio::platform::InstanceLock instance;
  if (instance.acquire("Velmora") == tarsio::platform::InstanceLockResult::kAlreadyRunning) {
    TLOG_E("CTarsioApp::InitInstance", "the app has exist");
    return 0;
  }
  TLOG_I("InitInstance", "the app is first running");

  tarsio::shell::ui::CTarsioDlg dlg;
  dlg.set_unattended(parser.isSet(unattended) || qEnvironmentVariableIntValue("TARSIO_UNATTENDED") != 0);
  if (parser.isSet(close_shot)) dlg.set_close_screenshot(parser.value(close_shot));
  dlg.OnInitDialog();
  // The signal only writes a byte; the close runs on the dialog thread.
  std::unique_ptr<QSocketNotifier> close_notifier;
  if (::pipe2(g_close_pipe, O_CLOEXEC | O_NONBLOCK) == 0) {
    close_notifier = std::make_unique<QSocketNotifier>(g_close_pipe[0], QSocketNotifier::Read);
    QObject::connect(close_notifier.get(), &QSocketNotifier::activated, &dlg, [&dlg] {
      char byte;
      while (::read(g_close_pipe[0], &byte, 1) > 0) {
      }
      dlg.close();
    });
    struct sigaction action = {};
    action.sa_handler = request_close;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
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
  // Escape ends the dialog through the toolkit's cancel: the close handling
  // does not run and the exit code is 0, neither pass nor fail.
  dlg.exec();
  return shot_result;
}
