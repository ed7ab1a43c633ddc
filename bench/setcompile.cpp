// Builds a signature set's matcher from a JSON Lines set file and prints how
// long that took and how large the compiled set is: bench/run.sh's memory row.
//
//   tervane-bench-setcompile SET.jsonl
#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>
#include <cstring>

#include "engine/signaturesetfile.h"
#include "scan/signaturesetmatch.h"

namespace {

// "VmHWM" (peak) or "VmRSS" (now) of this process, in KiB.
long memoryKib(const char* field) {
  QFile status(QStringLiteral("/proc/self/status"));
  if (!status.open(QIODevice::ReadOnly))
    return -1;
  for (const QByteArray& line : status.readAll().split('\n')) {
    if (line.startsWith(field))
      return line.mid(qsizetype(std::strlen(field)) + 1).trimmed().split(' ').front().toLong();
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s SET.jsonl\n", argv[0]);
    return 2;
  }
  QFile f(QString::fromLocal8Bit(argv[1]));
  if (!f.open(QIODevice::ReadOnly))
    return 2;
  signatures::Builder set;
  if (!set.addJsonLines(f.readAll(), f.fileName())) {
    std::fprintf(stderr, "%s\n", qPrintable(set.error()));
    return 2;
  }
  std::vector<QString> signatureTexts;
  for (const text::SetMember& m : set.members())
    signatureTexts.push_back(m.signature);
  const long parsedPeak = memoryKib("VmHWM");
  QElapsedTimer t;
  t.start();
  const scan::SetMatcher m(signatureTexts, text::Encoding::Auto, text::LineEnds::Any);
  const double seconds = double(t.nsecsElapsed()) / 1e9;
  if (!m.error().isEmpty()) {
    std::fprintf(stderr, "%s\n", qPrintable(m.error()));
    return 1;
  }
  std::printf(
      "members=%zu build_seconds=%.3f database_bytes=%zu peak_kib_after_reading=%ld "
      "peak_kib=%ld resident_kib_built=%ld\n",
      signatureTexts.size(), seconds, m.databaseBytes(), parsedPeak, memoryKib("VmHWM"),
      memoryKib("VmRSS"));
  return 0;
}
