// The main dialog's widgets under the offscreen platform: what the operator
// sees at start-up, the keys, the log pane's styles, the verdict labels, and
// displays that arrive from another thread.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTextBlock>
#include <QTextEdit>
#include <QTextFragment>
#include <cstdio>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "lumetra.h"
#include "shell/dialog_layout.h"
#include "shell/ui/tarsio_dialog.h"
#include "tarsio/station_helpers.h"
#include "tarsio/test_support.h"

namespace tarsio::shell::ui {
namespace {

using ::testing::HasSubstr;
using namespace shell;

class MainDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    set_log_threshold(0);
    dlg_ = std::make_unique<CTarsioDlg>();
    dlg_->OnInitDialog();
    dlg_->show();
    QApplication::processEvents();
  }
  void TearDown() override { dlg_.reset(); }

  QWidget *w(int id) { return dlg_->findChild<QWidget *>(QStringLiteral("IDC_%1").arg(id)); }
  // With TARSIO_UI_SHOTS set to a directory, saves what the dialog looks
  // like for a person to check (fonts, colours, Chinese glyphs).
  void save_shot(const char *name) {
    if (const char *out = std::getenv("TARSIO_UI_SHOTS")) {
      QApplication::processEvents();
      dlg_->grab().save(QString::fromUtf8(out) + "/" + name + ".png", "PNG");
    }
  }
  QLabel *label(int id) { return qobject_cast<QLabel *>(w(id)); }
  QColor text_colour(int id) { return w(id)->palette().color(QPalette::WindowText); }
  int count_in_log(const std::string &text) { return testing::count_of_text(dir_.log_bytes(), text); }

  testing::ScratchDir dir_;
  testing::ScopedEnv vm_{"TARSIO_VMODULE_DIR", dir_.path() + "/vm"};
  testing::ScopedEnv bus_{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir_.path() + "/no-bus"};
  std::unique_ptr<CTarsioDlg> dlg_;
};

TEST_F(MainDialog, StartUpWithoutModule) {
  EXPECT_EQ(dlg_->windowTitle(), QStringLiteral("Velmora v1.10.1728"));
  EXPECT_EQ(label(IDC_DEVICE_STATE)->text(), QStringLiteral("device has disconnected"));
  EXPECT_EQ(text_colour(IDC_DEVICE_STATE), QColor(255, 0, 0));
  EXPECT_EQ(label(IDC_RESULT_LABEL)->text(), QStringLiteral("..."));
  EXPECT_EQ(text_colour(IDC_RESULT_LABEL), QColor(0, 0, 255));
  EXPECT_FALSE(w(IDC_VERDICT_LABEL)->isVisible());
  EXPECT_TRUE(w(IDC_START_TEST)->isVisible());
  EXPECT_TRUE(w(IDC_START_TEST)->isEnabled());
  for (const auto &row : item_rows()) {
    EXPECT_FALSE(w(row.button_id)->isEnabled()) << row.button_id;
    EXPECT_TRUE(w(row.icon_id)->isVisible()) << row.icon_id;
  }
  // The fonts' character cells have the station's pixel heights, and the
  // verdict fits its label.
  const auto heights = label_font_heights(layout_scale_factor(dlg_->screen_width_physical()));
  EXPECT_NEAR(QFontMetrics(w(IDC_VERDICT_LABEL)->font()).height(), heights.verdict_label, 2);
  EXPECT_NEAR(QFontMetrics(w(IDC_RESULT_LABEL)->font()).height(), heights.result_label, 2);
  for (const char *text : {"Pass", "Fail"})
    EXPECT_LE(QFontMetrics(w(IDC_VERDICT_LABEL)->font()).horizontalAdvance(QString::fromLatin1(text)),
              w(IDC_VERDICT_LABEL)->width());
}

TEST_F(MainDialog, EnterAndSpaceStartARunAndAreConsumed) {
  const int before = count_in_log("OnBnClickedButton13: ENTER");
  for (int key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space}) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(w(IDC_START_TEST), &press);
    EXPECT_TRUE(press.isAccepted());
  }
  QApplication::processEvents();
  EXPECT_EQ(count_in_log("OnBnClickedButton13: ENTER"), before + 3);
  EXPECT_EQ(count_in_log("]: Device disconnected"), before + 3);
  EXPECT_TRUE(dlg_->isVisible());  // Enter never closes the dialog
}

TEST_F(MainDialog, EscapeCancelsWithoutTheCloseHandling) {
  QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(dlg_.get(), &press);
  QApplication::processEvents();
  EXPECT_FALSE(dlg_->isVisible());
  EXPECT_EQ(dlg_->result(), QDialog::Rejected);
  EXPECT_EQ(count_in_log("OnClose: ENTER"), 0);
  EXPECT_EQ(count_in_log("DestroyWindow: ENTER"), 1);
}

TEST_F(MainDialog, VerdictDisplaysAndLabelColours) {
  dlg_->model().item_verdict(IDC_ICON_INT_PIN, IDI_PASSED, ResultState::kPassed, "Test Pass");
  EXPECT_EQ(label(IDC_RESULT_LABEL)->text(), QStringLiteral("Test Pass"));
  EXPECT_EQ(text_colour(IDC_RESULT_LABEL), QColor(0, 255, 0));
  EXPECT_TRUE(w(IDC_RESULT_LABEL)->isVisible());
  EXPECT_FALSE(label(IDC_ICON_INT_PIN)->pixmap().isNull());

  dlg_->model().set_result_state(ResultState::kFailed);
  dlg_->model().final_display("Fail");
  EXPECT_EQ(label(IDC_VERDICT_LABEL)->text(), QStringLiteral("Fail"));
  EXPECT_EQ(text_colour(IDC_VERDICT_LABEL), QColor(255, 0, 0));
  EXPECT_TRUE(w(IDC_VERDICT_LABEL)->isVisible());
  EXPECT_FALSE(w(IDC_RESULT_LABEL)->isVisible());
  save_shot("verdict_fail");
}

TEST_F(MainDialog, LogPaneStyles) {
  auto *pane = dlg_->findChild<QTextEdit *>(QStringLiteral("IDC_%1").arg(IDC_LOG_PANE));
  ASSERT_NE(pane, nullptr);
  dlg_->append_log("plain ", LogStyle::kPlain);
  dlg_->append_log("good ", LogStyle::kPass);
  dlg_->append_log("bad", LogStyle::kFail);
  std::vector<QTextCharFormat> formats;
  for (auto it = pane->document()->begin().begin(); !it.atEnd(); ++it) formats.push_back(it.fragment().charFormat());
  ASSERT_EQ(formats.size(), 3u);
  EXPECT_EQ(formats[0].foreground().color(), QColor(Qt::black));
  EXPECT_DOUBLE_EQ(formats[0].fontPointSize(), 10.0);
  EXPECT_NE(formats[0].fontWeight(), QFont::Bold);
  EXPECT_EQ(formats[1].foreground().color(), QColor(0, 255, 0));
  EXPECT_DOUBLE_EQ(formats[1].fontPointSize(), 12.5);
  EXPECT_EQ(formats[1].fontWeight(), QFont::Bold);
  EXPECT_EQ(formats[2].foreground().color(), QColor(255, 0, 0));
  EXPECT_EQ(formats[2].fontWeight(), QFont::Bold);
  EXPECT_EQ(pane->toPlainText(), QStringLiteral("plain good bad"));
  dlg_->append_log("\r\n中文日志 Int test start->\r\n", LogStyle::kPlain);
  save_shot("log_pane");
}

TEST_F(MainDialog, WorkerDisplaysArriveOnTheDialogThread) {
  auto *pane = dlg_->findChild<QTextEdit *>(QStringLiteral("IDC_%1").arg(IDC_LOG_PANE));
  dlg_->model().clear_run_text();
  std::thread worker([this] {
    dlg_->model().append_log("End scene test.", LogStyle::kPlain);
    dlg_->model().final_display("Pass");
  });
  worker.join();
  EXPECT_EQ(dlg_->model().run_text(), "End scene test.");
  EXPECT_TRUE(pane->toPlainText().isEmpty());  // not drawn from the worker
  QApplication::processEvents();
  EXPECT_EQ(pane->toPlainText(), QStringLiteral("End scene test."));
  EXPECT_EQ(label(IDC_VERDICT_LABEL)->text(), QStringLiteral("Pass"));
}

// Start-up hands the library its fixed parameters and removes a finger
// image left over from an earlier run.
TEST(MainDialogStartUp, LibraryParametersAndStaleFingerImage) {
  testing::ScratchDir dir;
  testing::ScopedEnv vm("TARSIO_VMODULE_DIR", dir.path() + "/vm");
  testing::ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir.path() + "/no-bus");
  std::system("mkdir -p res");
  testing::write_file("res/finger.bmp", "BM");
  set_fp_sensor_col_row(100, 120);
  CTarsioDlg dlg;
  dlg.OnInitDialog();
  int col = 0, row = 0;
  get_fp_sensor_col_row(&col, &row);
  EXPECT_EQ(col, 88);
  EXPECT_EQ(row, 88);
  EXPECT_FALSE(std::ifstream("res/finger.bmp").good());
  EXPECT_TRUE(dlg.model().scene_test_enabled());  // SceneTest defaults to 1
}

TEST(MainDialogStartUp, SceneTestOffHidesTheSceneRow) {
  testing::ScratchDir dir;
  testing::ScopedEnv vm("TARSIO_VMODULE_DIR", dir.path() + "/vm");
  testing::ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir.path() + "/no-bus");
  dir.write_config("[common]\nSceneTest=0\n");
  CTarsioDlg dlg;
  dlg.OnInitDialog();
  dlg.show();
  EXPECT_FALSE(dlg.model().scene_test_enabled());
  EXPECT_FALSE(dlg.findChild<QWidget *>(QStringLiteral("IDC_%1").arg(IDC_SCENE_TEST))->isVisible());
  EXPECT_TRUE(dlg.findChild<QWidget *>(QStringLiteral("IDC_%1").arg(IDC_SENSOR_BAD_TEST))->isVisible());
}

// Closing ends the process at once with the verdict; it runs in a child
// process (a death test) because nothing returns from it.
using MainDialogClose = MainDialog;

TEST_F(MainDialogClose, ExitCodeIs21AfterAFailedOrNoRun) {
  EXPECT_EXIT(dlg_->close(), ::testing::ExitedWithCode(21), "");
}

TEST_F(MainDialogClose, ExitCodeIs12AfterAPassedRun) {
  dlg_->model().set_overall_pass(true);
  dlg_->model().set_pass_recorded(true);
  EXPECT_EXIT(dlg_->close(), ::testing::ExitedWithCode(12), "");
}

// Milliseconds between the close's entry and exit lines of each close in the
// log, in the order of the closes (the stamps are HH:MM:SS.mmm).
std::vector<long> close_durations_ms(const std::string &log) {
  std::vector<long> out;
  long entered = -1;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    const bool enter = line.find("V OnClose: ENTER") != std::string::npos;
    const bool leave = line.find("V OnClose: LEAVE") != std::string::npos;
    int h = 0, m = 0, sec = 0, ms = 0;
    if ((!enter && !leave) || std::sscanf(line.c_str(), "%2d:%2d:%2d.%3d", &h, &m, &sec, &ms) != 4) continue;
    const long stamp = ((h * 60L + m) * 60 + sec) * 1000 + ms;
    if (enter) entered = stamp;
    if (leave && entered >= 0) {
      out.push_back((stamp - entered + 86400000) % 86400000);  // past midnight too
      entered = -1;
    }
  }
  return out;
}

TEST_F(MainDialogClose, BusyWorkerDelaysTheEndByAbout400Ms) {
  // The pause is timed inside the child process by its own log stamps, so
  // that a slow start of the child on a loaded machine does not count.  The
  // child starts afresh in a scratch folder of its own: it logs into this
  // test's folder instead, named in the environment it inherits (and does
  // not replace).
  ::setenv("TARSIO_TEST_CLOSE_DIR", dir_.path().c_str(), 0);
  auto close_here = [this] {
    if (::chdir(std::getenv("TARSIO_TEST_CLOSE_DIR")) != 0) std::_Exit(3);
    dlg_->close();
  };
  EXPECT_EXIT(close_here(), ::testing::ExitedWithCode(21), "");
  dlg_->model().set_worker_stored(true);
  dlg_->model().set_worker_finished(false);
  EXPECT_EXIT(close_here(), ::testing::ExitedWithCode(21), "");
  ::unsetenv("TARSIO_TEST_CLOSE_DIR");
  const std::vector<long> ms = close_durations_ms(dir_.log_bytes());
  ASSERT_EQ(ms.size(), 2u) << dir_.log_bytes();
  // The worker's wait sleeps at least 20 x 20 ms; the upper bound only says
  // the wait ends, with room for a loaded machine and the sanitizers.
  EXPECT_GE(ms[1], 400);
  EXPECT_LT(ms[1], 5000);
  EXPECT_LT(ms[0], ms[1]);
}

}  // namespace
}  // namespace tarsio::shell::ui

int main(int argc, char **argv) {
  // Widget tests never need a display (test discovery runs this too).
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  // The close handling ends the process: death tests run it in a fresh copy
  // of this program rather than a fork of a process with threads.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  return RUN_ALL_TESTS();
}
