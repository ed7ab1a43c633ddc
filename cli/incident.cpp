#include "cli/incident.h"

#include <QDate>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <algorithm>

#include "platform/pathjson.h"
#include "platform/pathline.h"

using namespace Qt::StringLiterals;

namespace cli {

namespace {

// A path as the table shows it; a report without one says so.
QString pathLineOf(const QJsonObject& o) {
  const std::optional<QByteArray> bytes = platform::takePath(o);
  return bytes ? platform::lineOfBytes(*bytes) : QString();
}

qint64 integerOr(const QJsonObject& o, const QString& key, qint64 absent) {
  const QJsonValue v = o.value(key);
  return v.isDouble() ? v.toInteger(absent) : absent;
}

// Both spellings a file found only in the other reading may come as.
bool isOtherReading(const QString& type) {
  return type == u"other_reading" || type == u"other-reading" || type == u"found_in_other_reading";
}

}  // namespace

std::optional<qint64> reportSeconds(QStringView iso) {
  // yyyy-MM-ddTHH:mm:ss, then a fraction and "Z" or nothing.
  if (iso.size() < 19 || iso[4] != u'-' || iso[7] != u'-' || iso[10] != u'T' || iso[13] != u':' ||
      iso[16] != u':')
    return std::nullopt;
  auto number = [&](qsizetype at, qsizetype n) -> int {
    int v = 0;
    for (qsizetype i = at; i < at + n; ++i) {
      if (iso[i] < u'0' || iso[i] > u'9')
        return -1;
      v = v * 10 + (iso[i].unicode() - u'0');
    }
    return v;
  };
  const int y = number(0, 4), mo = number(5, 2), d = number(8, 2);
  const int h = number(11, 2), mi = number(14, 2), s = number(17, 2);
  const QDate date(y, mo, d);
  if (y < 0 || !date.isValid() || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 60)
    return std::nullopt;
  constexpr qint64 kEpochDay = 2440588;  // the Julian day of 1970-01-01
  return (date.toJulianDay() - kEpochDay) * 86400 + h * 3600 + mi * 60 + s;
}

QString serverOfReport(const QString& path) {
  if (path == u"-")
    return u"-"_s;
  const QFileInfo info(path);
  const QString name = info.fileName();
  if (name == u"scan.jsonl" || name == u"clean.jsonl" || name == u"watch.jsonl") {
    const QString host = info.absoluteDir().dirName();
    if (!host.isEmpty())
      return host;
  }
  return name.endsWith(u".jsonl") && name.size() > 6 ? name.chopped(6) : name;
}

int IncidentTally::server(const QString& name) {
  const auto it = serverIndex_.constFind(name);
  if (it != serverIndex_.cend())
    return *it;
  ServerTotals s;
  s.name = name;
  servers_.append(s);
  serverIndex_.insert(name, int(servers_.size() - 1));
  return int(servers_.size() - 1);
}

bool IncidentTally::addLine(int server, QByteArrayView line, QString* why) {
  if (line.trimmed().isEmpty())
    return true;
  QJsonParseError error;
  const QJsonDocument doc = QJsonDocument::fromJson(line.toByteArray(), &error);
  if (!doc.isObject()) {
    *why = error.error != QJsonParseError::NoError ? error.errorString() : u"not a JSON object"_s;
    return false;
  }
  const QJsonObject o = doc.object();
  const QString type = o.value(u"type"_s).toString();
  ServerTotals& totals = servers_[server];
  if (type == u"detection") {
    addDetection(server, o);
  } else if (type == u"unreadable") {
    ++totals.unreadable;
    addNote(unreadableNotes_, server, o, o.value(u"error"_s).toString());
  } else if (isOtherReading(type)) {
    ++totals.otherReading;
    addNote(otherNotes_, server, o, o.value(u"reading"_s).toString());
  } else if (type == u"clean") {
    const QString outcome = o.value(u"outcome"_s).toString();
    ++totals.outcomes[outcome.isEmpty() ? u"?"_s : outcome];
  } else if (type == u"summary") {
    // A scan's summary; a clean's counts what its objects counted already.
    const QJsonValue tested = o.value(u"files_tested"_s);
    if (tested.isDouble()) {
      totals.filesTested += tested.toInteger();
      totals.testedKnown = true;
    }
  }
  return true;
}

void IncidentTally::addDetection(int server, const QJsonObject& o) {
  ServerTotals& totals = servers_[server];
  ++found_;
  ++totals.found;
  IncidentRow row;
  row.server = server;
  row.occurrences = integerOr(o, u"occurrences"_s, -1);
  if (row.occurrences > 0)
    totals.occurrences += row.occurrences;
  const QJsonArray names = o.value(u"signatures"_s).toArray();
  for (const QJsonValue& v : names) {
    const QString name = v.toString();
    auto it = std::find_if(row.members.begin(), row.members.end(),
                           [&](const auto& m) { return m.first == name; });
    if (it == row.members.end())
      row.members.append({name, 1});
    else
      ++it->second;
  }
  for (const auto& m : row.members)
    ++memberFiles_[m.first];

  row.ctime = o.value(u"ctime"_s).toString();
  if (const std::optional<qint64> when = reportSeconds(row.ctime)) {
    // Sorted by the seconds, then the text (its fraction), so that ties keep
    // the earliest report's file.
    const auto earlier = [](qint64 s, const QString& t, const IncidentTime& than) {
      return s < than.seconds || (s == than.seconds && t < than.text);
    };
    const auto later = [](qint64 s, const QString& t, const IncidentTime& than) {
      return s > than.seconds || (s == than.seconds && t > than.text);
    };
    const QString path = pathLineOf(o);
    if (!first_ || earlier(*when, row.ctime, *first_))
      first_ = IncidentTime{*when, row.ctime, server, path};
    if (!last_ || later(*when, row.ctime, *last_))
      last_ = IncidentTime{*when, row.ctime, server, path};
    const qint64 hour = *when >= 0 ? *when / 3600 : (*when - 3599) / 3600;
    ++hours_[{hour, server}];
  }

  if (const std::optional<QByteArray> bytes = platform::takePath(o)) {
    const qsizetype slash = bytes->lastIndexOf('/');
    const QByteArray folder = slash < 0    ? QByteArray(".")
                              : slash == 0 ? QByteArray("/")
                                           : bytes->left(slash);
    ++folders_[{server, folder}];
  }

  if (qsizetype(rows_.size()) >= kRowLimit)
    return;
  row.path = pathLineOf(o);
  row.size = integerOr(o, u"size"_s, -1);
  row.mtime = o.value(u"mtime"_s).toString();
  row.uid = integerOr(o, u"uid"_s, -1);
  row.gid = integerOr(o, u"gid"_s, -1);
  row.error = o.value(u"error"_s).toString();
  rows_.push_back(std::move(row));
}

void IncidentTally::addNote(std::vector<IncidentNote>& notes, int server, const QJsonObject& o,
                            const QString& text) {
  if (qsizetype(notes.size()) < kNoteLimit)
    notes.push_back(IncidentNote{server, pathLineOf(o), text});
}

qint64 IncidentTally::total(qint64 ServerTotals::*count) const {
  qint64 n = 0;
  for (const ServerTotals& s : servers_)
    n += s.*count;
  return n;
}

QMap<QString, qint64> IncidentTally::outcomes() const {
  QMap<QString, qint64> all;
  for (const ServerTotals& s : servers_) {
    for (auto it = s.outcomes.cbegin(); it != s.outcomes.cend(); ++it)
      all[it.key()] += it.value();
  }
  return all;
}

std::vector<FolderCount> IncidentTally::topFolders() const {
  std::vector<std::pair<std::pair<int, QByteArray>, qint64>> all;
  all.reserve(std::size_t(folders_.size()));
  for (auto it = folders_.cbegin(); it != folders_.cend(); ++it)
    all.emplace_back(it.key(), it.value());
  // Most files first; a tie by server, then folder, so the list never depends
  // on the hash's order.
  const auto before = [](const auto& a, const auto& b) {
    if (a.second != b.second)
      return a.second > b.second;
    return a.first < b.first;
  };
  const std::size_t n = std::min(all.size(), std::size_t(kTopFolders));
  std::partial_sort(all.begin(), all.begin() + std::ptrdiff_t(n), all.end(), before);
  std::vector<FolderCount> top;
  for (std::size_t i = 0; i < n; ++i)
    top.push_back(
        FolderCount{all[i].first.first, platform::lineOfBytes(all[i].first.second), all[i].second});
  return top;
}

QString outcomeName(const QString& outcome) {
  if (outcome == u"cleaned")
    return u"已清除"_s;
  if (outcome == u"quarantined")
    return u"已隔离"_s;
  if (outcome == u"failed")
    return u"清除失败"_s;
  if (outcome == u"unchanged")
    return u"未改动"_s;
  if (outcome == u"would-clean")
    return u"预览：将清除"_s;
  if (outcome == u"would-quarantine")
    return u"预览：将隔离"_s;
  return outcome;
}

}  // namespace cli
