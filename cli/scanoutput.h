// What tervane-cli scan tells of the scan as it goes: the log of the files found
// on standard output (their one-line paths, or raw paths each ended by a NUL;
// with --json, their report), messages on standard error, and a progress line on
// standard error when that is a terminal. Nothing written holds a control
// character that a terminal would act on, but for the raw bytes of --null.
#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>

#include "cli/sink.h"
#include "engine/scanner.h"

namespace cli {

class ScanOutput : public ScanListener {
 public:
  enum class Log { Lines, Nul, None };
  // `progress`: whether to show the progress line (standard error is a terminal).
  ScanOutput(Sink& out, Sink& err, bool progress, Log log)
      : out_(out), err_(err), progress_(progress), log_(log) {}

  // Called for every file found, after its log entry (the --json report).
  std::function<void(const ScanFound&)> onFound;

  void note(const QString& text) override;
  void refused(const QString& message) override;
  void visiting(const QString& path) override;
  void found(const ScanFound& file) override;
  void unreadable(const QString& path, int error) override;
  void otherReading(const QString& path, text::Encoding holdsIt) override;

  // Names each file that could not be read on standard error, with the reason.
  void tellUnreadable();
  // Names each file that holds the signature only in the reading the count
  // did not take, on standard error, with that reading.
  void tellOtherReadings();
  // Removes the progress line, if one is shown.
  void clearProgress();

  struct Unreadable {
    QString path;
    int error = 0;
  };
  const QList<Unreadable>& unreadableFiles() const { return unreadable_; }
  struct OtherReading {
    QString path;
    text::Encoding holdsIt;
  };
  const QList<OtherReading>& otherReadings() const { return otherReadings_; }
  bool refused() const { return refused_; }
  qint64 filesFound() const { return found_; }

 private:
  void drawProgress(const QString& line);

  Sink& out_;
  Sink& err_;
  bool progress_;
  Log log_;
  QList<Unreadable> unreadable_;
  QList<OtherReading> otherReadings_;
  bool refused_ = false;
  qint64 found_ = 0;
  qint64 visited_ = 0;
  bool progressShown_ = false;
  std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace cli
