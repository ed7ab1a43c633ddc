// The window's Scan, Stop and hand-off over the scan (engine/scanner.h): the boxes
// become the request, and what the scan tells becomes the results log, the
// current-file line, the results list and the messages.
#pragma once

#include <QString>

#include <functional>

#include "engine/scanner.h"
#include "window/windowstate.h"

class WindowScan : private ScanListener {
 public:
  explicit WindowScan(WindowState& state) : w_(state) {}

  // Scan. Refused (does nothing) while a scan is running: the walk it would
  // interrupt must be able to go on with its own listing.
  void Command1_Click();
  // Stop: the walk stops listing new directories.
  void Command7_Click() { w_.ScanFlag = false; }
  // Copies the results log into the results list, or says that nothing was found
  // (or, after Stop, nothing up to then).
  void ToFRM2();

  bool isScanning() const { return scanning_; }
  // See Scanner.
  bool& readAheadAlways() { return scanner_.readAheadAlways; }
  const Scanner::Totals& totals() const { return scanner_.totals(); }
  const QString& storeNotSkipped() const { return scanner_.storeNotSkipped(); }
  // Called for every file logged, once, in log order.
  std::function<void(const ScanFound&)> onFound;

 private:
  void note(const QString& text) override { w_.showNote(text); }
  void starting() override;
  void refused(const QString& message) override { w_.showMessage(message); }
  void walking(const QStringList& fileTypes) override;
  void visiting(const QString& path) override;
  void found(const ScanFound& file) override;
  void unreadable(const QString& path, int error) override;
  void otherReading(const QString& path, text::Encoding) override { otherReadings_.append(path); }
  void yieldToEvents() override { w_.yieldToEvents(); }
  // After the results: how many files hold the signature without the blanks
  // at its ends, when more do.
  void tellNearMiss();
  bool stopRequested() const override { return !w_.ScanFlag; }

  WindowState& w_;
  Scanner scanner_{*this};
  QString signature_;
  // The files that hold the signature only in the reading not taken.
  QStringList otherReadings_;
  bool scanning_ = false;
  qint64 visited_ = 0;
};
