// Starts a scan in a real main window and, inside the scan's first yield, either
// clicks Exit or closes the window. Prints "in scan" first; anything it prints
// afterwards means the process did not end where it should.
#include <QApplication>
#include <QComboBox>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

#include "recorders.h"
#include "ui/form1.h"
#include "ui/wrapbutton.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 3)
    return 2;
  const QString mode = QString::fromLocal8Bit(argv[1]);
  RecordingDialogs dialogs;
  RecordingShell shell;
  Form1 form(dialogs, shell);
  form.Form_Load();
  form.Combo1->setEditText(QString::fromLocal8Bit(argv[2]));
  form.Combo2->setEditText(QStringLiteral("全部文件"));
  QTimer::singleShot(0, &form, [&] {
    if (!form.isScanning()) {
      std::puts("not in scan");
      std::exit(3);
    }
    std::puts("in scan");
    std::fflush(stdout);
    if (mode == u"exit")
      QTest::mouseClick(form.Command6, Qt::LeftButton);
    else
      form.close();
    std::puts("handler returned");
  });
  QTest::mouseClick(form.Command1, Qt::LeftButton);
  std::printf("scan returned, %d results\n", int(form.resultItem(0).isEmpty() ? 0 : 1));
  return 4;
}
