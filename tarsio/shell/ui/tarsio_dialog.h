// The main dialog: builds the controls from the dialog template, mirrors the
// dialog model, follows device arrival and removal, and closes the program
// with the verdict as exit code.
#pragma once

#include <QDialog>
#include <QFont>
#include <QMap>
#include <QString>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "device/discovery.h"
#include "platform/device_monitor.h"
#include "shell/dialog_model.h"
#include "shell/test_sequence.h"
#include "shell/ui_services.h"
#include "tests/item_context.h"

class QLabel;
class QPushButton;
class QSocketNotifier;
class QTextEdit;

namespace tarsio::shell::ui {

class CTarsioDlg : public QDialog, public shell::DialogView, public UiServices {
  Q_OBJECT

 public:
  explicit CTarsioDlg(QWidget *parent = nullptr);
  ~CTarsioDlg() override;

  // Initialisation in the station's order: icons and title, log pane format,
  // device notifications, discovery, library parameters, SceneTest, layout,
  // and the one-shot timer of the first run.
  bool OnInitDialog();

  // The "Start test" sequence (shell::TestSequence).
  void OnBnClickedButton13();

  // Unattended runs (line scripts): message boxes are logged instead of
  // waiting for an operator.
  void set_unattended(bool unattended) { unattended_ = unattended; }
  // A signal (SIGTERM, SIGINT, SIGHUP) asks the program to close: the close
  // runs as the window's close does, and a close before any run has ended
  // writes Fail.txt with the reason.  `pending` tells the sequence, which
  // runs items 1 to 5 without handling events, that a close waits.
  void close_for_signal(int signal_number);
  // `pending` returns the number of a signal that waits to be handled, 0
  // when none does.
  void set_close_pending_check(std::function<int()> pending) { close_pending_ = std::move(pending); }
  // Saves a PNG of the dialog as it looks when it closes (the final verdict).
  void set_close_screenshot(const QString &file) { close_screenshot_ = file; }

  shell::DialogModel &model() { return model_; }
  device::DeviceConnection &connection() { return connection_; }

  // The About box (program icon, name and the OK button); opened from the
  // dialog's context menu.
  std::unique_ptr<QDialog> make_about_box();

  // The pixel width of the screen the dialog is on, in physical pixels.
  int screen_width_physical() const;

  // shell::DialogView
  void append_log(const std::string &text, shell::LogStyle style) override;
  void set_icon(int icon_control_id, int icon_id) override;
  void set_text(int control_id, const std::string &text) override;
  void set_visible(int control_id, bool visible) override;
  void flash(int control_id) override;
  void refresh_colours() override;
  void show_message_box(const std::string &text) override;

  // UiServices: message boxes raised by the station core.
  void message_box(const std::string &text) override;

  // Ends the modal loop (Escape, the screenshot option).
  void done(int result) override;

 protected:
  void closeEvent(QCloseEvent *event) override;
  bool eventFilter(QObject *watched, QEvent *event) override;
  void contextMenuEvent(QContextMenuEvent *event) override;

 private:
  void build_controls();
  void InitLayout();
  void OnTimer();
  void OnDeviceChange();
  // Between two of items 1 to 5: takes a close request that waits (a
  // signal, or the window's close delivered now); true when one does.
  bool close_asked_between_items();
  void show_about();
  QWidget *control(int id) const { return controls_.value(id, nullptr); }
  // Runs fn on the dialog thread (queued from the scene-test worker).
  void dispatch(std::function<void()> fn, bool wait);
  // Runs what the worker queued, in order (on the dialog thread).
  Q_INVOKABLE void run_queued();

  // The worker's queued calls.  They travel through this lock rather than
  // inside Qt's own events, so that ThreadSanitizer, which cannot see into
  // Qt, sees the hand-over; a waiting worker is told under the same lock
  // when its call has run.  Declared first: they outlive everything that
  // queues.
  std::mutex queued_lock_;
  std::condition_variable queued_ran_;
  std::deque<std::function<void()>> queued_;

  shell::DialogModel model_;
  device::DeviceConnection connection_;
  platform::DeviceMonitor monitor_;
  tests::ItemContext items_;
  shell::TestSequence sequence_;
  bool unattended_ = false;
  int close_signal_ = 0;
  std::string close_reason_;  // a close before any run: why (Fail.txt's line)
  std::function<int()> close_pending_;
  bool between_items_ = false;   // close_asked_between_items() takes events
  bool close_requested_ = false; // the window's close came between items
  QString close_screenshot_;
  bool notifications_registered_ = false;
  QSocketNotifier *udev_notifier_ = nullptr;
  QSocketNotifier *inotify_notifier_ = nullptr;

  QMap<int, QWidget *> controls_;
  QTextEdit *log_pane_ = nullptr;
  QFont dialog_font_;
  int base_x_ = 0;
  int base_y_ = 0;
};

// Base units of a dialog font: the rounded average width of the 52 Latin
// letters and the font's line height, in pixels.
void dialog_base_units(const QFont &font, int *base_x, int *base_y);

}  // namespace tarsio::shell::ui
