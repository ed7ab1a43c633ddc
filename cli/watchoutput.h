// What the watch tells: findings on standard output (a finding a warning, a
// failure an error under systemd: journalctl -p), notes and failures on
// standard error; with --json, objects on standard output as well.
#pragma once

#include <QByteArray>
#include <QString>

#include "cli/sink.h"
#include "engine/watcher.h"

namespace cli {

class WatchOutput {
 public:
  WatchOutput(const Watcher::Settings& s, bool asJson, Sink& out, Sink& err);

  // A message's lines (separated by CR LF) each start a line of their own; the
  // names in it are lines of their paths already, and nothing in a line can break it.
  void say(const QString& why) { write(error_, why); }
  void note(const QString& what) { write({}, what); }

  // What is watched, how, and whether a clean can write there.
  void started(const Watcher& watcher);

  void detected(const Watcher::Detection& d);

  void cleaned(const Watcher::CleanOutcome& o);

  void noticed(const Watcher::Notice& n);

 private:
  void write(const QByteArray& priority, const QString& text);

  const Watcher::Settings& s_;
  bool asJson_;
  Sink& out_;
  Sink& err_;
  bool journal_;
  QByteArray warning_;
  QByteArray error_;
  QString signature_;
};

}  // namespace cli
