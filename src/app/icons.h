// The program's small images, drawn in code so that no binary asset is needed.
#pragma once

#include <QIcon>
#include <QImage>
#include <QPixmap>

namespace tarnel::app {

// 16 x 16 header images: check-all box (empty or ticked) and the add-row plus.
[[nodiscard]] QPixmap CheckBoxImage(bool ticked);
[[nodiscard]] QPixmap AddRowImage();
// Button icons: an open folder (browse) and a waste bin (delete row).
[[nodiscard]] QIcon BrowseIcon();
[[nodiscard]] QIcon DeleteIcon();
// The window and About box icon.
[[nodiscard]] QIcon AppIcon();
// The same drawing at any size; the build also writes it out as the installed
// icon files (src/app/tools/write_icons.cpp).
[[nodiscard]] QImage AppIconImage(int size);

}  // namespace tarnel::app
