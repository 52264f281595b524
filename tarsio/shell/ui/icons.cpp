#include "shell/ui/icons.h"

#include <QPainter>
#include <QPainterPath>

#include "shell/dialog_layout.h"

namespace tarsio::shell::ui {

namespace {

// Ridge-like arcs on a rounded blue tile.
void draw_program(QPainter &p, qreal s) {
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(28, 78, 150));
  p.drawRoundedRect(QRectF(0.04 * s, 0.04 * s, 0.92 * s, 0.92 * s), 0.18 * s, 0.18 * s);
  QPen ridge(QColor(235, 242, 255), qMax<qreal>(1.0, 0.055 * s), Qt::SolidLine, Qt::RoundCap);
  p.setPen(ridge);
  p.setBrush(Qt::NoBrush);
  const QPointF c(0.5 * s, 0.56 * s);
  for (int i = 1; i <= 4; ++i) {
    const qreal r = 0.085 * s * i;
    p.drawArc(QRectF(c.x() - r, c.y() - r * 1.15, 2 * r, 2.3 * r), 20 * 16, 300 * 16);
  }
}

void draw_disc(QPainter &p, qreal s, QColor fill, QColor rim) {
  p.setPen(QPen(rim, qMax<qreal>(1.0, 0.06 * s)));
  p.setBrush(fill);
  p.drawEllipse(QRectF(0.08 * s, 0.08 * s, 0.84 * s, 0.84 * s));
}

void draw_not_run(QPainter &p, qreal s) {
  draw_disc(p, s, QColor(236, 236, 236), QColor(150, 150, 150));
  p.setPen(QPen(QColor(150, 150, 150), qMax<qreal>(1.0, 0.09 * s), Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(0.32 * s, 0.5 * s), QPointF(0.68 * s, 0.5 * s));
}

void draw_running(QPainter &p, qreal s) {
  draw_disc(p, s, QColor(255, 196, 40), QColor(200, 140, 0));
  // An hourglass.
  QPainterPath glass;
  glass.moveTo(0.34 * s, 0.27 * s);
  glass.lineTo(0.66 * s, 0.27 * s);
  glass.lineTo(0.34 * s, 0.73 * s);
  glass.lineTo(0.66 * s, 0.73 * s);
  glass.closeSubpath();
  p.setPen(QPen(Qt::white, qMax<qreal>(1.0, 0.07 * s), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  p.drawPath(glass);
}

void draw_failed(QPainter &p, qreal s) {
  draw_disc(p, s, QColor(214, 40, 40), QColor(150, 20, 20));
  p.setPen(QPen(Qt::white, qMax<qreal>(1.5, 0.11 * s), Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(0.33 * s, 0.33 * s), QPointF(0.67 * s, 0.67 * s));
  p.drawLine(QPointF(0.67 * s, 0.33 * s), QPointF(0.33 * s, 0.67 * s));
}

void draw_passed(QPainter &p, qreal s) {
  draw_disc(p, s, QColor(36, 170, 70), QColor(20, 110, 40));
  p.setPen(QPen(Qt::white, qMax<qreal>(1.5, 0.11 * s), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  QPainterPath tick;
  tick.moveTo(0.29 * s, 0.52 * s);
  tick.lineTo(0.44 * s, 0.67 * s);
  tick.lineTo(0.71 * s, 0.36 * s);
  p.drawPath(tick);
}

}  // namespace

QPixmap icon_pixmap(int icon_id, int size) {
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  switch (icon_id) {
    case shell::IDR_MAINFRAME: draw_program(p, s); break;
    case shell::IDI_NOT_RUN: draw_not_run(p, s); break;
    case shell::IDI_RUNNING: draw_running(p, s); break;
    case shell::IDI_FAILED: draw_failed(p, s); break;
    case shell::IDI_PASSED: draw_passed(p, s); break;
    default: p.end(); return QPixmap();
  }
  return pm;
}

QIcon program_icon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128}) icon.addPixmap(icon_pixmap(shell::IDR_MAINFRAME, size));
  return icon;
}

}  // namespace tarsio::shell::ui
