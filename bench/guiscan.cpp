// A scan through the main window, timed: the window is loaded, the signature,
// the location and the default filter are put into its boxes, and the Scan
// button is clicked. Run it on the offscreen platform.
//
// Usage: tervane-bench-gui SIGNATURE_FILE LOCATION LOG_OUT
// Prints the seconds the click took; writes the results log to LOG_OUT, one
// path per line, LF-ended, as the command line prints it.
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>

#include <cstdio>

#include "engine/messages.h"
#include "platform/pathcodec.h"
#include "text/textops.h"
#include "ui/dialogs.h"
#include "ui/form1.h"
#include "ui/shell.h"
#include "ui/signaturebox.h"
#include "ui/wrapbutton.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: tervane-bench-gui SIGNATURE_FILE LOCATION LOG_OUT\n");
    return 2;
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(msg::kAppTitle.toString());
  QFile sig(platform::decodePath(QByteArrayView(argv[1])));
  if (!sig.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 2;
  }
  const QString signature = QString::fromUtf8(sig.readAll());

  Form1 form(ui::systemDialogs(), platform::systemShell());
  form.Form_Load();
  form.Text3->setExactText(signature);
  form.Combo1->setEditText(platform::decodePath(QByteArrayView(argv[2])));
  QApplication::processEvents();

  QElapsedTimer clock;
  clock.start();
  form.Command1->click();
  const double seconds = double(clock.nsecsElapsed()) / 1e9;

  QByteArray log;
  const QString text1 = form.resultsText();
  if (text1 != msg::kNoMatch)
    log = platform::encodePath(text::fromCrLf(text1));
  QFile out(platform::decodePath(QByteArrayView(argv[3])));
  if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(log) != log.size()) {
    std::fprintf(stderr, "cannot write %s\n", argv[3]);
    return 2;
  }
  std::printf("%.3f\n", seconds);
  return 0;
}
