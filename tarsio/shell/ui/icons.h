// The station's icons, drawn in code for this program: the program icon and
// the four status icons of the item rows.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace tarsio::shell::ui {

// A square pixmap of the icon resource `icon_id` (128, 134, 136, 137, 138);
// an empty pixmap for any other id.
QPixmap icon_pixmap(int icon_id, int size);

// The program icon in the usual sizes.
QIcon program_icon();

}  // namespace tarsio::shell::ui
