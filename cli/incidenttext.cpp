#include <QMap>

#include <vector>

#include "cli/incidentpage.h"
#include "platform/pathline.h"

using namespace Qt::StringLiterals;

namespace cli {

QByteArray incidentText(const IncidentTally& t, const QString& title) {
  // Every text from a report is shown as visibleText writes it: a name
  // someone chose never acts on the terminal.
  const auto v = [](QStringView s) { return platform::visibleText(s); };
  QString o = v(title) + u'\n';
  const auto line = [&](const QString& label, qint64 value) {
    o += label + u"："_s + QString::number(value) + u'\n';
  };
  line(u"服务器"_s, t.servers().size());
  line(u"扫描的文件"_s, t.filesTested());
  line(u"感染文件"_s, t.found());
  line(u"特征码出现次数"_s, t.occurrences());
  line(u"无法读取的文件"_s, t.unreadable());
  line(u"按另一种编码读取才发现的文件"_s, t.otherReading());
  const QMap<QString, qint64> outcomes = t.outcomes();
  for (auto it = outcomes.cbegin(); it != outcomes.cend(); ++it)
    line(v(outcomeName(it.key())), it.value());
  for (auto it = t.memberFiles().cbegin(); it != t.memberFiles().cend(); ++it)
    o += u"  特征码 "_s + v(it.key()) + u"："_s + QString::number(it.value()) + u" 个文件\n"_s;
  for (const ServerTotals& s : t.servers())
    o += u"  "_s + v(s.name) + u"：感染文件 "_s + QString::number(s.found) + u"，出现次数 "_s +
         QString::number(s.occurrences) + u"，无法读取 "_s + QString::number(s.unreadable) + u'\n';
  if (t.firstChange()) {
    const IncidentTime& first = *t.firstChange();
    const IncidentTime& last = *t.lastChange();
    o += u"最早的改动时间（ctime）："_s + v(first.text) + u"  "_s +
         v(t.servers()[first.server].name) + u"  "_s + first.path + u'\n';
    o += u"最晚的改动时间（ctime）："_s + v(last.text) + u"  "_s +
         v(t.servers()[last.server].name) + u"  "_s + last.path + u'\n';
  }
  const std::vector<FolderCount> top = t.topFolders();
  if (!top.empty()) {
    o += u"感染最多的文件夹：\n"_s;
    for (const FolderCount& f : top)
      o += QString::number(f.files).rightJustified(8) + u"  "_s + v(t.servers()[f.server].name) +
           u"  "_s + f.folder + u'\n';
  }
  return o.toUtf8();
}

}  // namespace cli
