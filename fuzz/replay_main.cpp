// Runs fuzz inputs outside libFuzzer: every file named, and every file in every
// directory named, goes once through the target. Builds without clang use it to
// keep the seed corpus and every input that once found a fault as regression
// tests; a disagreement aborts the run.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>

#include "fuzzsupport.h"

int main(int argc, char** argv) {
  QStringList files;
  for (int i = 1; i < argc; ++i) {
    const QString arg = QFile::decodeName(argv[i]);
    const QFileInfo info(arg);
    if (info.isDir()) {
      const QDir dir(arg);
      for (const QString& name : dir.entryList(QDir::Files, QDir::Name))
        files.append(dir.filePath(name));
    } else {
      files.append(arg);
    }
  }
  if (files.isEmpty()) {
    std::fprintf(stderr, "no inputs\n");
    return 2;
  }
  for (const QString& path : files) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
      std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
      return 2;
    }
    const QByteArray data = f.readAll();
    std::fprintf(stderr, "%s\n", qPrintable(path));
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.constData()),
                           std::size_t(data.size()));
  }
  std::fprintf(stderr, "%lld inputs passed\n", static_cast<long long>(files.size()));
  return 0;
}
