#define TARSIO_LOG_SOURCE "tarsiodlg"

#include "shell/ui/tarsio_dialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDialogButtonBox>
#include <QFile>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextEdit>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "device/device_handle.h"
#include "device/devicecontrol.h"
#include "lumetra.h"
#include "platform/fprint_capture.h"
#include "platform/vmodule_dir.h"
#include "shell/config.h"
#include "shell/dialog_layout.h"
#include "shell/log.h"
#include "shell/ui/icons.h"
#include "shell/ui/run_record_json.h"

namespace tarsio::shell::ui {

using shell::LogStyle;

namespace {

// The dialog's faces are Windows faces; each list falls back to the
// nearest face a Debian station has.
QFont dialog_font() {
  QFont f;
  f.setFamilies({"MS Shell Dlg", "Tahoma", "DejaVu Sans", "Noto Sans CJK SC"});
  f.setPointSize(shell::kDialogFontPoints);
  return f;
}

QFont log_pane_font(qreal points) {
  QFont f;
  f.setFamilies({QString::fromUtf8("微软雅黑"), "Microsoft YaHei", "Noto Sans CJK SC", "DejaVu Sans"});
  f.setPointSizeF(points);
  return f;
}

// A font whose character cell (ascent plus descent) is `cell_height`
// pixels, the way a positive height selects a font on the original platform;
// Qt's pixel size is the smaller em size.
QFont label_font(int cell_height) {
  QFont f;
  f.setFamilies({"Consolas", "DejaVu Sans Mono", "Noto Sans Mono", "monospace"});
  f.setWeight(QFont::Medium);  // weight 500
  f.setPixelSize(cell_height);
  const int measured = QFontMetrics(f).height();
  if (measured > cell_height) f.setPixelSize(qMax(1, cell_height * cell_height / measured));
  return f;
}

const char *signal_name(int signal_number) {
  switch (signal_number) {
    case SIGTERM: return "SIGTERM";
    case SIGINT: return "SIGINT";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
  }
}

QColor to_qcolor(shell::Rgb c) { return QColor(c.r, c.g, c.b); }

void set_text_colour(QWidget *w, const QColor &c) {
  if (!w) return;
  QPalette pal = w->palette();
  pal.setColor(QPalette::WindowText, c);
  w->setPalette(pal);
}

}  // namespace

void dialog_base_units(const QFont &font, int *base_x, int *base_y) {
  const QFontMetrics fm(font);
  const int letters = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  *base_x = (letters / 26 + 1) / 2;
  *base_y = fm.height();
}

CTarsioDlg::CTarsioDlg(QWidget *parent)
    : QDialog(parent),
      model_(*this, [this](std::function<void()> fn, bool wait) { dispatch(std::move(fn), wait); }),
      connection_(device::DeviceConnection::Hooks{
          [this] { model_.open_failure_display(); }, nullptr, nullptr, nullptr, nullptr, nullptr}),
      items_(
          model_, *this, [this](std::function<void()> fn, bool wait) { dispatch(std::move(fn), wait); },
          [this] { repaint(); }),
      sequence_(items_, shell::SequenceHooks{
                            [this] { close(); },
                            // By name: nothing of the worker's travels in the event.
                            [this] { QMetaObject::invokeMethod(this, "close", Qt::QueuedConnection); },
                            nullptr,
                            [this] { return connection_.createDevHandle(); },
                            [this] { return close_asked_between_items(); },
                            [](const shell::RunEnd &end) {
                              shell::RunRecord record = shell::record_snapshot();
                              record.pass = end.pass;
                              record.reason = end.reason;
                              record.result_file = end.result_file;
                              record.exit_code = end.exit_code;
                              write_run_record(record);
                            },
                        }) {
  TLOG_ENTER("CTarsioDlg");
  set_ui_services(this);
  setWindowIcon(program_icon());
  dialog_font_ = dialog_font();
  setFont(dialog_font_);
  dialog_base_units(dialog_font_, &base_x_, &base_y_);
  build_controls();
  TLOG_LEAVE("CTarsioDlg");
}

CTarsioDlg::~CTarsioDlg() {
  TLOG_ENTER("~CTarsioDlg");
  qApp->removeEventFilter(this);
  set_ui_services(nullptr);
  TLOG_LEAVE("~CTarsioDlg");
}

void CTarsioDlg::build_controls() {
  const shell::PixelRect size =
      shell::dlu_to_pixels({0, 0, shell::kDialogWidthDlu, shell::kDialogHeightDlu}, base_x_, base_y_);
  setFixedSize(size.w, size.h);
  for (const auto &ctl : shell::dialog_template()) {
    QWidget *w = nullptr;
    switch (ctl.kind) {
      case shell::ControlKind::kButton: {
        auto *b = new QPushButton(QString::fromStdString(ctl.text), this);
        b->setAutoDefault(false);
        // The item buttons are disabled (they only label their rows) but
        // must stay readable from the operator's chair.
        QPalette pal = b->palette();
        pal.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(70, 70, 70));
        b->setPalette(pal);
        w = b;
        break;
      }
      case shell::ControlKind::kIcon: {
        auto *l = new QLabel(this);
        l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        w = l;
        break;
      }
      case shell::ControlKind::kLogPane: {
        log_pane_ = new QTextEdit(this);
        log_pane_->setReadOnly(true);
        log_pane_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        log_pane_->setFrameShape(QFrame::StyledPanel);
        w = log_pane_;
        break;
      }
      case shell::ControlKind::kLabel: {
        auto *l = new QLabel(QString::fromStdString(ctl.text), this);
        l->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        w = l;
        break;
      }
    }
    w->setObjectName(QStringLiteral("IDC_%1").arg(ctl.id));
    controls_.insert(ctl.id, w);
  }
  for (const auto &row : shell::item_rows()) set_icon(row.icon_id, shell::IDI_NOT_RUN);
  connect(static_cast<QPushButton *>(control(shell::IDC_START_TEST)), &QPushButton::clicked, this,
          [this] { OnBnClickedButton13(); });
  qApp->installEventFilter(this);
}

int CTarsioDlg::screen_width_physical() const {
  const QScreen *s = screen() ? screen() : QGuiApplication::primaryScreen();
  if (!s) return 0;
  // Qt reports logical pixels; the font rule is about the panel's real width.
  return qRound(s->geometry().width() * s->devicePixelRatio());
}

bool CTarsioDlg::OnInitDialog() {
  TLOG_ENTER("OnInitDialog");
  // The About entry lives in the dialog's context menu (see contextMenuEvent):
  // window managers on Linux do not let a program extend the system menu.
  setWindowIcon(program_icon());
  setWindowTitle(QString::fromUtf8(shell::kWindowTitle));

  // Base format of the log pane: 10 point, automatic colour off, the
  // YaHei face (or its nearest Noto CJK substitute).
  log_pane_->setFont(log_pane_font(10));
  QTextCharFormat base;
  base.setFont(log_pane_font(10));
  base.setForeground(Qt::black);
  log_pane_->setCurrentCharFormat(base);

  notifications_registered_ = monitor_.start(platform::virtual_module_dir());
  if (notifications_registered_) {
    if (monitor_.udev_fd() >= 0) {
      udev_notifier_ = new QSocketNotifier(monitor_.udev_fd(), QSocketNotifier::Read, this);
      connect(udev_notifier_, &QSocketNotifier::activated, this, [this] { OnDeviceChange(); });
    }
    if (monitor_.inotify_fd() >= 0) {
      inotify_notifier_ = new QSocketNotifier(monitor_.inotify_fd(), QSocketNotifier::Read, this);
      connect(inotify_notifier_, &QSocketNotifier::activated, this, [this] { OnDeviceChange(); });
    }
  }

  const bool connected = connection_.connectDevice();
  model_.set_device_type(connection_.device_type());
  model_.startup_connection(connected);

  set_fp_sensor_col_row(88, 88);
  set_fp_sensor_max_tpl_count(1);
  set_nerio_FAR_Val(12);
  set_fp_dyn_update_FAR_VAL(12);
  set_fp_dyn_update_flg(0);
  set_fp_max_nbr_subtemplate(32);

  model_.set_scene_test_enabled(config_get_switch("common", "SceneTest", 1) != 0);
  InitLayout();
  TLOG_LEAVE("OnInitDialog");
  return true;
}

void CTarsioDlg::InitLayout() {
  TLOG_ENTER("InitLayout");
  const int scale = shell::layout_scale_factor(screen_width_physical());
  QFile::remove(QStringLiteral("./res/finger.bmp"));

  // The heights are physical pixels; Qt sizes fonts in logical pixels,
  // which a scaled screen multiplies by its pixel ratio.
  const auto heights = shell::label_font_heights(scale);
  const qreal ratio = screen() ? screen()->devicePixelRatio() : 1.0;
  control(shell::IDC_RESULT_LABEL)->setFont(label_font(qRound(heights.result_label / ratio)));
  control(shell::IDC_VERDICT_LABEL)->setFont(label_font(qRound(heights.verdict_label / ratio)));

  for (const auto &ctl : shell::laid_out_controls(model_.device_type(), model_.scene_test_enabled())) {
    QWidget *w = control(ctl.id);
    const shell::PixelRect r = shell::dlu_to_pixels(ctl.rect, base_x_, base_y_);
    w->setGeometry(r.x, r.y, r.w, r.h);
    w->setVisible(ctl.visible);
    w->setEnabled(ctl.enabled);
  }
  // The substitute face may be wider than the original one: the verdict
  // label grows to the right (into empty space) rather than cut "Pass" or
  // "Fail" off.
  QWidget *verdict = control(shell::IDC_VERDICT_LABEL);
  const QFontMetrics vfm(verdict->font());
  const int needed = qMax(vfm.horizontalAdvance(QStringLiteral("Pass")), vfm.horizontalAdvance(QStringLiteral("Fail"))) +
                     vfm.averageCharWidth() / 2;
  if (needed > verdict->width()) verdict->resize(needed, verdict->height());
  for (const auto &row : shell::item_rows()) set_icon(row.icon_id, shell::IDI_NOT_RUN);
  refresh_colours();
  QTimer::singleShot(1000, this, [this] { OnTimer(); });
  // An unattended line must not wait for ever for a module that never
  // comes: with NoModuleTimeout set, a station that has started no run by
  // then ends as a fail.
  if (const int seconds = no_module_timeout_seconds(); seconds > 0) {
    QTimer::singleShot(seconds * 1000, this, [this, seconds] {
      if (sequence_.runs_started() > 0) return;
      close_reason_ = "no module tested within " + std::to_string(seconds) + " s (NoModuleTimeout)";
      TLOG_W("OnTimer", "%s: the program closes", close_reason_.c_str());
      close();
    });
  }
  TLOG_LEAVE("InitLayout");
}

void CTarsioDlg::OnTimer() { OnBnClickedButton13(); }

void CTarsioDlg::OnBnClickedButton13() { sequence_.OnBnClickedButton13(); }

void CTarsioDlg::dispatch(std::function<void()> fn, bool wait) {
  // Widgets live on the dialog thread; the scene-test worker's displays are
  // queued there, and a worker that waits (a message box) waits until its
  // call has run.
  if (QThread::currentThread() == thread()) {
    fn();
    return;
  }
  bool ran = false;  // read and written under the lock
  {
    std::lock_guard<std::mutex> guard(queued_lock_);
    if (wait) {
      queued_.push_back([this, &ran, fn = std::move(fn)] {
        fn();
        std::lock_guard<std::mutex> done(queued_lock_);
        ran = true;
        queued_ran_.notify_all();
      });
    } else {
      queued_.push_back(std::move(fn));
    }
  }
  QMetaObject::invokeMethod(this, "run_queued", Qt::QueuedConnection);
  if (!wait) return;
  std::unique_lock<std::mutex> lock(queued_lock_);
  queued_ran_.wait(lock, [&] { return ran; });
}

void CTarsioDlg::run_queued() {
  for (;;) {
    std::function<void()> fn;
    {
      std::lock_guard<std::mutex> guard(queued_lock_);
      if (queued_.empty()) return;
      fn = std::move(queued_.front());
      queued_.pop_front();
    }
    fn();
  }
}

void CTarsioDlg::OnDeviceChange() {
  for (platform::DeviceEvent ev : monitor_.read_events()) {
    // A module that goes away while the scene test waits for its finger
    // ends the wait: no finger will come from it.
    if (ev != platform::DeviceEvent::kArrival) platform::cancel_finger_capture();
    model_.device_notification(ev == platform::DeviceEvent::kArrival, [this] {
      if (!connection_.connectDevice()) return false;
      model_.set_device_type(connection_.device_type());
      return true;
    });
  }
}

// --- DialogView -------------------------------------------------------------

void CTarsioDlg::append_log(const std::string &text, LogStyle style) {
  QTextCharFormat fmt;
  switch (style) {
    case LogStyle::kPlain:
      fmt.setFont(log_pane_font(10));
      fmt.setForeground(Qt::black);
      fmt.setFontWeight(QFont::Normal);
      break;
    case LogStyle::kPass:
      fmt.setFont(log_pane_font(12.5));
      fmt.setForeground(QColor(0, 255, 0));
      fmt.setFontWeight(QFont::Bold);
      break;
    case LogStyle::kFail:
      fmt.setFont(log_pane_font(12.5));
      fmt.setForeground(QColor(255, 0, 0));
      fmt.setFontWeight(QFont::Bold);
      break;
  }
  // The pane shows line breaks; the run text keeps the CR LF pairs.
  QString shown = QString::fromUtf8(text.data(), static_cast<int>(text.size()));
  shown.remove(QLatin1Char('\r'));
  QTextCursor cursor(log_pane_->document());
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(shown, fmt);
  log_pane_->setTextCursor(cursor);
  log_pane_->ensureCursorVisible();
  // The dialog thread may be busy with a test item: draw now.
  log_pane_->viewport()->repaint();
}

void CTarsioDlg::set_icon(int icon_control_id, int icon_id) {
  auto *l = qobject_cast<QLabel *>(control(icon_control_id));
  if (!l) return;
  const shell::PixelRect r = shell::dlu_to_pixels({0, 0, 20, 20}, base_x_, base_y_);
  const int size = qMax(16, qMin(r.w, r.h));
  l->setPixmap(icon_pixmap(icon_id, size));
  l->repaint();
}

void CTarsioDlg::set_text(int control_id, const std::string &text) {
  QWidget *w = control(control_id);
  if (auto *l = qobject_cast<QLabel *>(w)) l->setText(QString::fromStdString(text));
  else if (auto *b = qobject_cast<QPushButton *>(w)) b->setText(QString::fromStdString(text));
  if (w) w->repaint();
}

void CTarsioDlg::set_visible(int control_id, bool visible) {
  if (QWidget *w = control(control_id)) w->setVisible(visible);
}

void CTarsioDlg::flash(int control_id) {
  // One short highlight of the control and an attention request to the
  // window manager.
  QWidget *w = control(control_id);
  if (!w) return;
  w->setAutoFillBackground(true);
  QPalette pal = w->palette();
  pal.setColor(QPalette::Window, QColor(255, 255, 160));
  w->setPalette(pal);
  QTimer::singleShot(200, w, [w] {
    QPalette p = w->palette();
    p.setColor(QPalette::Window, w->parentWidget()->palette().color(QPalette::Window));
    w->setPalette(p);
    w->setAutoFillBackground(false);
  });
  QApplication::alert(this, 500);
}

void CTarsioDlg::refresh_colours() {
  const QColor result = to_qcolor(model_.result_colour());
  set_text_colour(control(shell::IDC_RESULT_LABEL), result);
  set_text_colour(control(shell::IDC_VERDICT_LABEL), result);
  set_text_colour(control(shell::IDC_DEVICE_STATE), to_qcolor(model_.device_state_colour()));
}

void CTarsioDlg::show_message_box(const std::string &text) {
  if (unattended_) {
    TLOG_W("MessageBox", "%s", text.c_str());
    return;
  }
  QMessageBox::information(this, windowTitle(), QString::fromStdString(text));
}

void CTarsioDlg::message_box(const std::string &text) {
  // The station core's message boxes (for example "deviceiocontrol err")
  // may come from the scene-test worker: the model shows them on the dialog
  // thread and lets the caller wait for the operator, as a modal box does.
  model_.message_box(text);
}

bool CTarsioDlg::close_asked_between_items() {
  // The dialog thread handles no event while an item runs.  Between items
  // the window system's requests that are not operator input (a close from
  // the window's close button, exposures) are taken; keys, clicks and
  // device notifications stay queued for after the run, as before.  Nothing
  // is written to the pane and nothing waits here.
  between_items_ = true;
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::ExcludeSocketNotifiers);
  between_items_ = false;
  const int pending = close_pending_ ? close_pending_() : 0;
  if (pending != 0 && close_signal_ == 0) {
    close_signal_ = pending;
    TLOG_W("OnClose", "%s: the program closes", signal_name(pending));
  }
  return pending != 0 || close_requested_;
}

void CTarsioDlg::close_for_signal(int signal_number) {
  if (close_signal_ == 0) {
    close_signal_ = signal_number;
    TLOG_W("OnClose", "%s: the program closes", signal_name(signal_number));
  }
  close();
}

void CTarsioDlg::done(int result) {
  TLOG_ENTER("DestroyWindow");
  QDialog::done(result);
}

// --- events -----------------------------------------------------------------

void CTarsioDlg::closeEvent(QCloseEvent *event) {
  if (between_items_) {
    // Taken between two items: the sequence ends the run and closes.
    if (!close_requested_) TLOG_W("OnClose", "the window was asked to close while the items run: the program closes");
    close_requested_ = true;
    event->ignore();
    return;
  }
  shell::CloseHooks hooks;
  hooks.device_handle_valid = [] { return device::device_handle() != platform::kInvalidDeviceHandle; };
  hooks.send_exit_notice = [] {
    if (!device::SendAppExitNotice(device::device_handle())) device::close_device_handle();
  };
  hooks.finish_interrupted_run = [this] { sequence_.finish_interrupted_run(); };
  int code = model_.close(hooks);
  if (close_signal_ != 0) close_reason_ = std::string("closed by ") + signal_name(close_signal_);
  if (!close_reason_.empty()) {
    // A line script that gives up before any run has ended still finds a
    // verdict file, with the reason.
    sequence_.finish_without_run(close_reason_);
    code = model_.exit_code();
  }
  if (!close_screenshot_.isEmpty() && !grab().save(close_screenshot_, "PNG"))
    TLOG_E("CTarsioDlg::OnClose", "cannot save %s", close_screenshot_.toUtf8().constData());
  event->accept();
  // A worker that has finished its run has only its last log line left: it
  // is joined, so that no thread of a finished run is left unjoined.  End at
  // once otherwise, even while the worker still blocks in a capture: no
  // destructor may run on a live worker thread.
  if (model_.worker_finished()) sequence_.join_worker();
  std::fflush(nullptr);
  _exit(code);
}

bool CTarsioDlg::eventFilter(QObject *watched, QEvent *event) {
  if (event->type() == QEvent::KeyPress) {
    auto *w = qobject_cast<QWidget *>(watched);
    const int key = static_cast<QKeyEvent *>(event)->key();
    if (w && w->window() == this &&
        (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space)) {
      OnBnClickedButton13();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void CTarsioDlg::contextMenuEvent(QContextMenuEvent *event) {
  QMenu menu(this);
  menu.addAction(QString::fromUtf8(shell::kAboutMenuText), this, [this] { show_about(); });
  menu.exec(event->globalPos());
}

std::unique_ptr<QDialog> CTarsioDlg::make_about_box() {
  auto about = std::make_unique<QDialog>(this);
  about->setWindowTitle(QString::fromUtf8(shell::kAboutMenuText).remove(QStringLiteral("(&A)...")));
  auto *icon = new QLabel(about.get());
  icon->setPixmap(icon_pixmap(shell::IDR_MAINFRAME, 32));
  auto *name = new QLabel(QString::fromUtf8(shell::kAboutProgramName), about.get());
  auto *ok = new QPushButton(QString::fromUtf8(shell::kAboutOkText), about.get());
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, about.get(), &QDialog::accept);
  auto *row = new QHBoxLayout;
  row->addWidget(icon);
  row->addWidget(name, 1);
  row->addWidget(ok);
  about->setLayout(row);
  return about;
}

void CTarsioDlg::show_about() { make_about_box()->exec(); }

}  // namespace tarsio::shell::ui
