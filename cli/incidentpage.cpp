#include "cli/incidentpage.h"

#include <QDateTime>
#include <QStringList>

#include <algorithm>
#include <cmath>

#include "engine/messages.h"
#include "platform/pathline.h"
#include "platform/sha256.h"

using namespace Qt::StringLiterals;

namespace cli {

namespace {

// The page's own style and script. The policy names their hashes, so nothing
// else runs or styles the page, whatever a report smuggles in. The style never
// sits in an attribute (the policy forbids those): colours are SVG fills.
constexpr char kStyle[] = R"(
body{font-family:sans-serif;margin:1.5em;color:#222;background:#fff}
h1{font-size:1.5em;margin:0 0 .5em}h2{font-size:1.15em;margin:1.5em 0 .5em}
table{border-collapse:collapse}td,th{padding:.2em .6em;text-align:left;vertical-align:top}
.totals td:nth-child(2),.num{text-align:right;font-variant-numeric:tabular-nums}
.files th button{font:inherit;font-weight:bold;background:none;border:0;padding:0;cursor:pointer}
.files th[aria-sort=ascending] button::after{content:" \25B2"}
.files th[aria-sort=descending] button::after{content:" \25BC"}
.files tbody tr:nth-child(even),.servers tbody tr:nth-child(even){background:#f3f5f8}
.files td.path,.folders td.path,.notes td.path{font-family:monospace;word-break:break-all}
.files thead th{position:sticky;top:0;background:#dde3ea}
.muted{color:#666}.times td{padding-right:1.5em}
#timeline{display:block}svg text{font-size:11px;fill:#444}
#filter{width:30em;max-width:100%;padding:.3em}
)";

constexpr char kScript[] = R"(
(function () {
  var table = document.getElementById("files");
  if (!table) return;
  var body = table.tBodies[0];
  var heads = table.tHead.rows[0].cells;
  var column = -1, direction = 1;
  function key(row, i, numeric) {
    var cell = row.cells[i];
    var v = cell.hasAttribute("data-v") ? cell.getAttribute("data-v") : cell.textContent;
    return numeric ? Number(v) : v;
  }
  function sortBy(i) {
    direction = column === i ? -direction : 1;
    column = i;
    var numeric = heads[i].getAttribute("data-type") === "n";
    var rows = Array.prototype.slice.call(body.rows);
    rows.forEach(function (r, n) { r.order = n; });
    rows.sort(function (a, b) {
      var x = key(a, i, numeric), y = key(b, i, numeric);
      return (x < y ? -1 : x > y ? 1 : a.order - b.order) * (x === y ? 1 : direction);
    });
    var all = document.createDocumentFragment();
    rows.forEach(function (r) { all.appendChild(r); });
    body.appendChild(all);
    for (var h = 0; h < heads.length; h++) heads[h].removeAttribute("aria-sort");
    heads[i].setAttribute("aria-sort", direction > 0 ? "ascending" : "descending");
  }
  for (var i = 0; i < heads.length; i++) {
    (function (i) {
      heads[i].querySelector("button").addEventListener("click", function () { sortBy(i); });
    })(i);
  }
  var filter = document.getElementById("filter");
  var shown = document.getElementById("shown");
  filter.addEventListener("input", function () {
    var q = filter.value.toLowerCase(), n = 0;
    for (var r = 0; r < body.rows.length; r++) {
      var row = body.rows[r];
      var hit = !q || row.textContent.toLowerCase().indexOf(q) >= 0;
      row.hidden = !hit;
      if (hit) n++;
    }
    shown.textContent = String(n);
  });
})();
)";

QString hashSource(const char* text) {
  return u"'sha256-"_s +
         QString::fromLatin1(platform::Sha256::of(QByteArrayView(text)).toBase64()) + u'\'';
}

// A text from a report (a name someone chose, a reason), for the page: nothing
// in it acts as markup, and what would break or disguise it shows escaped.
QString h(QStringView text) {
  return platform::visibleText(text).toHtmlEscaped();
}

QString n(qint64 v) {
  return QString::number(v);
}

// The server's colour: ten that tell apart well, then hues around the circle.
QString colour(int server) {
  static const char* const kColours[] = {"#4e79a7", "#f28e2b", "#e15759", "#76b7b2", "#59a14f",
                                         "#edc948", "#b07aa1", "#ff9da7", "#9c755f", "#bab0ac"};
  if (server < 10)
    return QString::fromLatin1(kColours[server]);
  return u"hsl(%1,55%,45%)"_s.arg(int(std::fmod(server * 137.508, 360.0)));
}

QString swatch(int server) {
  return u"<svg width=\"12\" height=\"12\" aria-hidden=\"true\"><rect width=\"12\" height=\"12\" "
         u"fill=\""_s +
         colour(server) + u"\"/></svg>"_s;
}

// "2026-12-07 14:16:17" of "2026-12-07T14:16:17.123456789Z"; the text as it is
// when it is not such a time.
QString shortTime(const QString& iso) {
  if (!reportSeconds(iso))
    return iso;
  return iso.left(10) + u' ' + iso.mid(11, 8);
}

QString membersText(const IncidentRow& row) {
  QStringList parts;
  for (const auto& m : row.members)
    parts.append(m.second > 1 ? m.first + u" ×"_s + n(m.second) : m.first);
  return parts.join(u", "_s);
}

QString ownerText(const IncidentRow& row) {
  if (row.uid < 0)
    return {};
  return row.gid < 0 ? n(row.uid) : n(row.uid) + u':' + n(row.gid);
}

// The histogram's buckets: an hour when the changes span a week or less, else
// a day, or several days when a day each would give more bars than fit.
struct Buckets {
  qint64 start = 0;  // seconds, the first bucket's start
  qint64 width = 3600;
  qint64 count = 0;
  QString unit;
};

Buckets bucketsFor(const IncidentTime& first, const IncidentTime& last) {
  constexpr qint64 kMaxBars = 400;
  Buckets b;
  const auto floorTo = [](qint64 v, qint64 unit) {
    return v >= 0 ? v / unit * unit : (v - unit + 1) / unit * unit;
  };
  if (last.seconds - first.seconds <= 7 * 86400) {
    b.width = 3600;
    b.unit = u"每小时"_s;
  } else {
    const qint64 days = (last.seconds - first.seconds) / 86400 + 1;
    const qint64 perBar = (days + kMaxBars - 1) / kMaxBars;
    b.width = 86400 * perBar;
    b.unit = perBar == 1 ? u"每天"_s : u"每 %1 天"_s.arg(perBar);
  }
  b.start = floorTo(first.seconds, b.width);
  b.count = (floorTo(last.seconds, b.width) - b.start) / b.width + 1;
  return b;
}

QString timeOfSeconds(qint64 s) {
  return QDateTime::fromSecsSinceEpoch(s, Qt::UTC).toString(u"yyyy-MM-dd HH:mm"_s);
}

// Long: the page's SVG is written in the order it is drawn, axis, bars, labels.
void writeTimeline(QString& p, const IncidentTally& t) {
  p += u"<h2>感染文件的改动时间（ctime）</h2>\n"_s;
  if (!t.firstChange()) {
    p += u"<p class=\"muted\">报告中没有感染文件的改动时间。</p>\n"_s;
    return;
  }
  const IncidentTime& first = *t.firstChange();
  const IncidentTime& last = *t.lastChange();
  const auto& servers = t.servers();
  p += u"<table class=\"times\"><tr><td>最早</td><td><time id=\"first-ctime\" datetime=\""_s +
       h(first.text) + u"\">"_s + h(first.text) + u"</time></td><td>"_s +
       h(servers[first.server].name) + u"</td><td class=\"path\">"_s + h(first.path) +
       u"</td></tr>\n<tr><td>最晚</td><td><time id=\"last-ctime\" datetime=\""_s + h(last.text) +
       u"\">"_s + h(last.text) + u"</time></td><td>"_s + h(servers[last.server].name) +
       u"</td><td class=\"path\">"_s + h(last.path) + u"</td></tr></table>\n"_s;
  p += u"<p class=\"muted\">最早的改动时间是在网站日志中查找入侵的时刻（UTC）。"
       u"入侵者能改修改时间（mtime），改不了改动时间（ctime）。</p>\n"_s;

  const Buckets b = bucketsFor(first, last);
  // Files per bucket and server.
  std::map<std::pair<qint64, int>, qint64> bars;
  std::map<qint64, qint64> heights;
  for (const auto& [key, files] : t.changesByHour()) {
    const qint64 bucket = (key.first * 3600 - b.start) / b.width;
    bars[{bucket, key.second}] += files;
    heights[bucket] += files;
  }
  qint64 highest = 1;
  for (const auto& [bucket, files] : heights)
    highest = std::max(highest, files);

  constexpr double kWidth = 960, kHeight = 180, kLeft = 48, kBottom = 22, kTop = 8;
  const double plot = kWidth - kLeft - 8;
  // A few buckets stay bars, not one block across the page.
  const double barWidth = std::min(plot / double(b.count), 24.0);
  p += u"<svg id=\"timeline\" viewBox=\"0 0 %1 %2\" width=\"%1\" height=\"%2\" role=\"img\" "
       u"aria-label=\"%3\">\n"_s.arg(kWidth)
           .arg(kHeight)
           .arg(b.unit);
  p += u"<line x1=\"%1\" y1=\"%2\" x2=\"%3\" y2=\"%2\" stroke=\"#888\"/>\n"_s.arg(kLeft)
           .arg(kHeight - kBottom)
           .arg(kWidth - 8);
  p += u"<text x=\"%1\" y=\"%2\" text-anchor=\"end\">%3</text>\n"_s.arg(kLeft - 4)
           .arg(kTop + 10)
           .arg(highest);
  p += u"<text x=\"%1\" y=\"%2\" text-anchor=\"end\">0</text>\n"_s.arg(kLeft - 4).arg(kHeight -
                                                                                      kBottom);
  const double scale = (kHeight - kBottom - kTop) / double(highest);
  std::map<qint64, double> stacked;
  for (const auto& [key, files] : bars) {
    const auto [bucket, server] = key;
    const double height = double(files) * scale;
    double& base = stacked[bucket];
    const double y = kHeight - kBottom - base - height;
    base += height;
    p += u"<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"%5\"><title>"_s
             .arg(kLeft + double(bucket) * barWidth, 0, 'f', 2)
             .arg(y, 0, 'f', 2)
             .arg(std::max(barWidth - (barWidth > 3 ? 1 : 0), 0.5), 0, 'f', 2)
             .arg(height, 0, 'f', 2)
             .arg(colour(server)) +
         timeOfSeconds(b.start + bucket * b.width) + u" UTC · "_s + h(servers[server].name) +
         u" · "_s + n(files) + u" 个文件</title></rect>\n"_s;
  }
  p += u"<text x=\"%1\" y=\"%2\">%3</text>\n"_s.arg(kLeft)
           .arg(kHeight - 6)
           .arg(timeOfSeconds(b.start));
  p += u"<text x=\"%1\" y=\"%2\" text-anchor=\"end\">%3</text>\n"_s
           .arg(std::max(kLeft + double(b.count) * barWidth, kLeft + 200))
           .arg(kHeight - 6)
           .arg(timeOfSeconds(b.start + (b.count - 1) * b.width));
  p += u"</svg>\n<p class=\"muted\">"_s + b.unit + u"一栏，共 "_s + n(b.count) + u" 栏（UTC）。 "_s;
  for (int s = 0; s < int(servers.size()); ++s) {
    if (servers[s].found > 0)
      p += swatch(s) + u" "_s + h(servers[s].name) + u"　"_s;
  }
  p += u"</p>\n"_s;
}

void writeTotals(QString& p, const IncidentTally& t) {
  const auto row = [&](const QString& label, qint64 v, const QString& id) {
    p += u"<tr><td>"_s + label + u"</td><td id=\""_s + id + u"\">"_s + n(v) + u"</td></tr>\n"_s;
  };
  p += u"<table class=\"totals\">\n"_s;
  row(u"服务器"_s, t.servers().size(), u"total-servers"_s);
  row(u"扫描的文件"_s, t.filesTested(), u"total-tested"_s);
  row(u"感染文件"_s, t.found(), u"total-found"_s);
  row(u"特征码出现次数"_s, t.occurrences(), u"total-occurrences"_s);
  row(u"无法读取的文件"_s, t.unreadable(), u"total-unreadable"_s);
  row(u"按另一种编码读取才发现的文件"_s, t.otherReading(), u"total-other-reading"_s);
  const QMap<QString, qint64> outcomes = t.outcomes();
  for (const QString& known : {u"cleaned"_s, u"quarantined"_s, u"failed"_s})
    row(outcomeName(known), outcomes.value(known), u"total-"_s + known);
  for (auto it = outcomes.cbegin(); it != outcomes.cend(); ++it) {
    if (it.key() != u"cleaned" && it.key() != u"quarantined" && it.key() != u"failed")
      p += u"<tr><td>"_s + h(outcomeName(it.key())) + u"</td><td>"_s + n(it.value()) +
           u"</td></tr>\n"_s;
  }
  p += u"</table>\n"_s;

  const QMap<QString, qint64>& members = t.memberFiles();
  if (!members.isEmpty()) {
    qint64 most = 1;
    for (qint64 v : members)
      most = std::max(most, v);
    p += u"<h2>各特征码的感染文件</h2>\n<table class=\"members\">\n"_s;
    for (auto it = members.cbegin(); it != members.cend(); ++it) {
      p += u"<tr><td>"_s + h(it.key()) + u"</td><td class=\"num\">"_s + n(it.value()) +
           u"</td><td><svg width=\"240\" height=\"12\" aria-hidden=\"true\"><rect "
           u"height=\"12\" width=\""_s +
           QString::number(240.0 * double(it.value()) / double(most), 'f', 1) +
           u"\" fill=\"#4e79a7\"/></svg></td></tr>\n"_s;
    }
    p += u"</table>\n"_s;
  }

  p += u"<h2>服务器</h2>\n<table class=\"servers\"><thead><tr><th></th><th>服务器</th>"
       u"<th>扫描的文件</th><th>感染文件</th><th>出现次数</th><th>无法读取</th><th>清除</th>"
       u"</tr></thead><tbody>\n"_s;
  for (int s = 0; s < int(t.servers().size()); ++s) {
    const ServerTotals& st = t.servers()[s];
    QStringList done;
    for (auto it = st.outcomes.cbegin(); it != st.outcomes.cend(); ++it)
      done.append(h(outcomeName(it.key())) + u' ' + n(it.value()));
    p += u"<tr><td>"_s + swatch(s) + u"</td><td class=\"server\">"_s + h(st.name) +
         u"</td><td class=\"num\">"_s + (st.testedKnown ? n(st.filesTested) : u"—"_s) +
         u"</td><td class=\"num\">"_s + n(st.found) + u"</td><td class=\"num\">"_s +
         n(st.occurrences) + u"</td><td class=\"num\">"_s + n(st.unreadable) + u"</td><td>"_s +
         done.join(u"，"_s) + u"</td></tr>\n"_s;
  }
  p += u"</tbody></table>\n"_s;
}

void writeFolders(QString& p, const IncidentTally& t) {
  const std::vector<FolderCount> top = t.topFolders();
  if (top.empty())
    return;
  p += u"<h2>感染最多的文件夹（前 %1 个）</h2>\n<table class=\"folders\" id=\"folders\">"
       u"<thead><tr><th>感染文件</th><th>服务器</th><th>文件夹</th></tr></thead><tbody>\n"_s.arg(
           IncidentTally::kTopFolders);
  for (const FolderCount& f : top)
    p += u"<tr><td class=\"num\">"_s + n(f.files) + u"</td><td>"_s + h(t.servers()[f.server].name) +
         u"</td><td class=\"path\">"_s + h(f.folder) + u"</td></tr>\n"_s;
  p += u"</tbody></table>\n"_s;
}

void writeNotes(QString& p, const IncidentTally& t, const std::vector<IncidentNote>& notes,
                qint64 all, const QString& heading) {
  if (notes.empty())
    return;
  p += u"<h2>"_s + heading + u"</h2>\n<table class=\"notes\"><tbody>\n"_s;
  for (const IncidentNote& note : notes)
    p += u"<tr><td>"_s + h(t.servers()[note.server].name) + u"</td><td class=\"path\">"_s +
         h(note.path) + u"</td><td>"_s + h(note.text) + u"</td></tr>\n"_s;
  p += u"</tbody></table>\n"_s;
  if (all > qint64(notes.size()))
    p += u"<p class=\"muted\">另有 "_s + n(all - qint64(notes.size())) + u" 个未列出。</p>\n"_s;
}

void writeFiles(QString& p, const IncidentTally& t) {
  const auto& rows = t.rows();
  p += u"<h2>感染文件</h2>\n"_s;
  if (rows.empty()) {
    p += u"<p>"_s + msg::kNoMatch.toString() + u"</p>\n"_s;
    return;
  }
  p += u"<p><label>筛选：<input id=\"filter\" type=\"search\" autocomplete=\"off\"></label> "
       u"显示 <span id=\"shown\">"_s +
       n(qint64(rows.size())) + u"</span> / "_s + n(qint64(rows.size())) + u" 个文件</p>\n"_s;
  if (t.found() > qint64(rows.size()))
    p += u"<p id=\"more\">表中只列出前 "_s + n(qint64(rows.size())) + u" 个文件，另有 "_s +
         n(t.found() - qint64(rows.size())) +
         u" 个没有列出；上面的计数和时间线包括全部文件。</p>\n"_s;
  p += u"<table class=\"files\" id=\"files\"><thead><tr>"
       u"<th><button type=\"button\">服务器</button></th>"
       u"<th><button type=\"button\">路径</button></th>"
       u"<th><button type=\"button\">特征码</button></th>"
       u"<th data-type=\"n\"><button type=\"button\">出现次数</button></th>"
       u"<th data-type=\"n\"><button type=\"button\">大小</button></th>"
       u"<th><button type=\"button\">修改时间（mtime）</button></th>"
       u"<th><button type=\"button\">改动时间（ctime）</button></th>"
       u"<th><button type=\"button\">属主</button></th>"
       u"</tr></thead><tbody>\n"_s;
  for (const IncidentRow& r : rows) {
    const auto numberCell = [](qint64 v) {
      return u"<td class=\"num\" data-v=\""_s + n(v) + u"\">"_s + (v < 0 ? u"—"_s : n(v)) +
             u"</td>"_s;
    };
    const auto timeCell = [](const QString& iso) {
      return u"<td data-v=\""_s + h(iso) + u"\">"_s + (iso.isEmpty() ? u"—"_s : h(shortTime(iso))) +
             u"</td>"_s;
    };
    QString path = h(r.path.isEmpty() ? u"（报告中没有路径）"_s : r.path);
    if (!r.error.isEmpty())
      path += u"<br><span class=\"muted\">"_s + h(r.error) + u"</span>"_s;
    p += u"<tr><td>"_s + h(t.servers()[r.server].name) + u"</td><td class=\"path\">"_s + path +
         u"</td><td>"_s + h(membersText(r)) + u"</td>"_s + numberCell(r.occurrences) +
         numberCell(r.size) + timeCell(r.mtime) + timeCell(r.ctime) + u"<td>"_s + h(ownerText(r)) +
         u"</td></tr>\n"_s;
  }
  p += u"</tbody></table>\n"_s;
}

}  // namespace

QByteArray incidentPage(const IncidentTally& tally, const QString& title) {
  QString p;
  p += u"<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\">\n"
       u"<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
       u"script-src "_s +
       hashSource(kScript) + u"; style-src "_s + hashSource(kStyle) +
       u"; base-uri 'none'; form-action 'none'\">\n"
       u"<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
       u"<meta name=\"referrer\" content=\"no-referrer\">\n<title>"_s +
       h(title) + u"</title>\n<style>"_s + QString::fromUtf8(kStyle) +
       u"</style>\n</head>\n<body>\n<h1>"_s + h(title) + u"</h1>\n"_s;
  writeTotals(p, tally);
  writeTimeline(p, tally);
  writeFolders(p, tally);
  writeNotes(p, tally, tally.unreadableNotes(), tally.unreadable(), u"无法读取的文件"_s);
  writeNotes(p, tally, tally.otherReadingNotes(), tally.otherReading(),
             u"按另一种编码读取才发现的文件"_s);
  writeFiles(p, tally);
  p += u"<script>"_s + QString::fromUtf8(kScript) + u"</script>\n</body>\n</html>\n"_s;
  return p.toUtf8();
}

}  // namespace cli
