// Qt's own texts (the buttons of the message boxes, the folder chooser, the
// boxes' context menus) in Chinese, like every other text of the windows.
#pragma once

class QCoreApplication;

namespace ui {

// Loads Qt's Chinese translation (Debian's qt6-translations-l10n) into `app`.
// False when it is not installed: Qt's texts then stay in English.
bool loadChineseQtTexts(QCoreApplication& app);

}  // namespace ui
