// An incident told at a glance: the reports of scan, clean and watch --json,
// one or more per server, read line by line into counts, a timeline and the
// first rows of a table. Memory stays bounded whatever the reports' size: only
// the counts and the first kRowLimit files are kept. Nothing here knows how
// the result is shown (incidentpage.h writes it as a page).
//
// Reports are read tolerantly: fields and object types this reader does not
// know are passed over, a missing field shows as absent; only a line that is
// not a JSON object is refused.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>

#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace cli {

// A file a report lists as found, as the table shows it.
struct IncidentRow {
  int server = 0;
  QString path;                               // its one line
  QList<std::pair<QString, qint64>> members;  // name, occurrences; empty for one signature
  qint64 occurrences = -1;                    // -1: not in the report
  qint64 size = -1;
  QString mtime;  // as the report writes it; empty: not in it
  QString ctime;
  qint64 uid = -1;
  qint64 gid = -1;
  QString error;  // why the file could not be read again
};

// A file a report names without having found the signature in it: unreadable,
// or found only in the other reading.
struct IncidentNote {
  int server = 0;
  QString path;
  QString text;  // the reason, or the reading that holds it
};

struct ServerTotals {
  QString name;
  qint64 filesTested = 0;
  bool testedKnown = false;  // a scan's summary said how many
  qint64 found = 0;
  qint64 occurrences = 0;
  qint64 unreadable = 0;
  qint64 otherReading = 0;
  QMap<QString, qint64> outcomes;  // a clean's outcome: how many files
};

// A file's change time, and where it lies.
struct IncidentTime {
  qint64 seconds = 0;  // since the epoch, UTC
  QString text;        // as the report writes it
  int server = 0;
  QString path;
};

struct FolderCount {
  int server = 0;
  QString folder;  // its one line
  qint64 files = 0;
};

class IncidentTally {
 public:
  static constexpr qsizetype kRowLimit = 10000;
  static constexpr qsizetype kNoteLimit = 100;
  static constexpr int kTopFolders = 20;

  // The index of the server so named, added at the end when it is new.
  int server(const QString& name);

  // One line of a report of `server`. A blank line is passed over; a line that
  // is not a JSON object gives false with the reason in `why`.
  bool addLine(int server, QByteArrayView line, QString* why);

  const QList<ServerTotals>& servers() const { return servers_; }
  qint64 found() const { return found_; }
  qint64 filesTested() const { return total(&ServerTotals::filesTested); }
  qint64 occurrences() const { return total(&ServerTotals::occurrences); }
  qint64 unreadable() const { return total(&ServerTotals::unreadable); }
  qint64 otherReading() const { return total(&ServerTotals::otherReading); }
  // Files per outcome of a clean, summed over the servers.
  QMap<QString, qint64> outcomes() const;
  // Files with an occurrence of each member of a set, by name.
  const QMap<QString, qint64>& memberFiles() const { return memberFiles_; }
  // The first kRowLimit files found, in the reports' order.
  const std::vector<IncidentRow>& rows() const { return rows_; }
  const std::vector<IncidentNote>& unreadableNotes() const { return unreadableNotes_; }
  const std::vector<IncidentNote>& otherReadingNotes() const { return otherNotes_; }
  // The earliest and the latest change time of a file found; none without one.
  const std::optional<IncidentTime>& firstChange() const { return first_; }
  const std::optional<IncidentTime>& lastChange() const { return last_; }
  // Files found per server and hour of their change time (hours since the epoch).
  const std::map<std::pair<qint64, int>, qint64>& changesByHour() const { return hours_; }
  // The folders holding the most files found, most first, at most kTopFolders.
  std::vector<FolderCount> topFolders() const;

 private:
  // One count summed over the servers.
  qint64 total(qint64 ServerTotals::*count) const;
  void addDetection(int server, const QJsonObject& o);
  void addNote(std::vector<IncidentNote>& notes, int server, const QJsonObject& o,
               const QString& text);

  QList<ServerTotals> servers_;
  QHash<QString, int> serverIndex_;
  qint64 found_ = 0;
  QMap<QString, qint64> memberFiles_;
  std::vector<IncidentRow> rows_;
  std::vector<IncidentNote> unreadableNotes_;
  std::vector<IncidentNote> otherNotes_;
  std::optional<IncidentTime> first_;
  std::optional<IncidentTime> last_;
  std::map<std::pair<qint64, int>, qint64> hours_;
  QHash<std::pair<int, QByteArray>, qint64> folders_;
};

// Seconds since the epoch of a report's time ("2026-12-07T14:16:17.123456789Z");
// nothing when it is not one.
std::optional<qint64> reportSeconds(QStringView iso);

// The server a report file stands for: the folder above it for the names the
// fleet playbook gives (reports/HOST/scan.jsonl), else the file's own name
// without ".jsonl".
QString serverOfReport(const QString& path);

// What the report calls a clean's outcome ("cleaned", "would-quarantine", ...):
// its Chinese name, or the key itself when it has none.
QString outcomeName(const QString& outcome);

}  // namespace cli
