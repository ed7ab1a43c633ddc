// The clean command: rewrites every file that the results log lists with the
// signature removed, and turns the results log into the cleaning log.
#pragma once

#include <QString>

#include <functional>
#include <optional>

#include "app/windowstate.h"
#include "clean/rewrite.h"

class Cleaner {
 public:
  explicit Cleaner(WindowState& state) : w_(state) {}

  // Clean: takes the signature from the signature box and runs Tervane(GJZ).
  void Command2_Click();
  // The cleaning run over the paths of the results log. Ends at the first file
  // that fails, with one message naming the file and the reason.
  void Tervane(const QString& GJZ);

  // How each file is read and rewritten (buffer size; failures injected by tests).
  clean::Options& options() { return options_; }

  // Called after each file (its path's bytes) with its failure, if it failed (the
  // command line's report).
  std::function<void(const QByteArray& path, const std::optional<clean::Failure>& failure)> onFile;

 private:
  WindowState& w_;
  clean::Options options_;
};
