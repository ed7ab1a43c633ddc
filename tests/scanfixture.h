// A scan of a temporary tree through the Scan command, with the boxes filled in
// as a user fills them; the command tests and the hostile-tree tests share it.
#pragma once

#include <unistd.h>

#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

#include "plainwindowstate.h"
#include "testsupport.h"
#include "text/textops.h"
#include "window/windowscan.h"
#include "window/windowstate.h"

// A window state of plain values whose scan may run on several threads.
// Every path shown in the current-file box is kept.
class ScanState : public PlainWindowState {
 public:
  int threads = 1;
  QStringList shown;
  int scanThreads() const override { return threads; }
  void setCurrentFileText(const QString& text) override {
    PlainWindowState::setCurrentFileText(text);
    shown.append(text);
  }
};

class ScanFixture {
 public:
  ScanFixture(const QString& signature, const QString& filter, int threads = 1) : scanner(w) {
    w.threads = threads;
    w.Text3 = signature;
    w.Combo2 = filter;
    w.Combo1 = t.root();
  }
  // A scan makes its location the current directory.
  ~ScanFixture() { EXPECT_EQ(::chdir("/"), 0); }

  // Runs `fn` at the walk's `n`-th yield (counted from 1).
  void atYield(qsizetype n, std::function<void()> fn) {
    w.onYield = [n, fn = std::move(fn)](PlainWindowState& s) {
      if (s.yields == n)
        fn();
    };
  }
  // Runs `fn` at the first yield after the walk showed `rel` in the current-file
  // box, which is the yield right before the walk takes the next entry.
  void afterShown(const QByteArray& rel, std::function<void()> fn) {
    const QString shown = t.path(rel);
    w.onYield = [shown, fn = std::move(fn), done = false](PlainWindowState& s) mutable {
      if (!done && s.Text2 == shown) {
        done = true;
        fn();
      }
    };
  }

  void scan() { scanner.Command1_Click(); }

  // The log's paths, relative to the tree's root where they lie inside it.
  QStringList logged() const {
    QStringList out = text::split(w.Text1, text::kCrLf);
    if (!out.isEmpty())
      out.removeLast();
    for (QString& p : out) {
      if (p.startsWith(t.root() + u'/'))
        p.remove(0, t.root().size() + 1);
    }
    return out;
  }

  TempTree t;
  ScanState w;
  WindowScan scanner;
};
