// Tervane: the main window is the program.
#include <QApplication>
#include <QIcon>

#include "engine/messages.h"
#include "ui/dialogs.h"
#include "ui/form1.h"
#include "ui/qttexts.h"
#include "ui/shell.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(msg::kAppTitle.toString());
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/tervane/icon.png")));
  ui::loadChineseQtTexts(app);
  Form1 form(ui::systemDialogs(), platform::systemShell());
  form.Form_Load();
  return QApplication::exec();
}
