#include "ui/qttexts.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

using namespace Qt::StringLiterals;

namespace ui {

bool loadChineseQtTexts(QCoreApplication& app) {
  // Chinese whatever the user's locale: the windows speak nothing else.
  auto* translator = new QTranslator(&app);
  if (!translator->load(u"qtbase_zh_CN"_s, QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete translator;
    return false;
  }
  return QCoreApplication::installTranslator(translator);
}

}  // namespace ui
