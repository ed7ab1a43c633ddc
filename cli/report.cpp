#include "cli/report.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QList>

#include <algorithm>
#include <cerrno>

#include "cli/signatureoptions.h"
#include "platform/fd.h"
#include "platform/pathjson.h"
#include "platform/pathline.h"
#include "text/utf8.h"

using namespace Qt::StringLiterals;

namespace cli {

int openToRead(int dirFd, const QByteArray& name) {
  constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
  // Reading a file does not date it: incident responders read access times.
  const int fd = ::openat(dirFd, name.constData(), kFlags | O_NOATIME);
  if (fd >= 0 || errno != EPERM)
    return fd;
  return ::openat(dirFd, name.constData(), kFlags);  // not the owner: the system decides
}

QString isoTime(const struct timespec& t) {
  const QDateTime d = QDateTime::fromSecsSinceEpoch(qint64(t.tv_sec), Qt::UTC);
  return d.toString(u"yyyy-MM-ddTHH:mm:ss"_s) + u'.' +
         QString::number(qlonglong(t.tv_nsec)).rightJustified(9, u'0') + u'Z';
}

void putStat(QJsonObject& o, const struct stat& st) {
  o.insert(u"size"_s, qint64(st.st_size));
  o.insert(u"mtime"_s, isoTime(st.st_mtim));
  o.insert(u"ctime"_s, isoTime(st.st_ctim));
  o.insert(u"mode"_s, QString::asprintf("%04o", unsigned(st.st_mode & 07777)));
  o.insert(u"uid"_s, qint64(st.st_uid));
  o.insert(u"gid"_s, qint64(st.st_gid));
  o.insert(u"device"_s, qint64(st.st_dev));
  o.insert(u"inode"_s, qint64(st.st_ino));
}

void putOccurrences(QJsonObject& o, const Occurrences& found) {
  QJsonArray offsets;
  QJsonArray lengths;
  for (const clean::ByteRange& r : found.ranges) {
    offsets.append(qint64(r.offset));
    lengths.append(qint64(r.length));
  }
  o.insert(u"occurrences"_s, found.count);
  o.insert(u"offsets"_s, offsets);
  o.insert(u"lengths"_s, lengths);
}

void putError(QJsonObject& o, int error) {
  o.insert(u"error"_s, platform::errorText(error));
  o.insert(u"errno"_s, error);
}

QByteArray jsonLine(const QJsonObject& o) {
  return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}

void putReading(QJsonObject& o, const text::Reading& reading) {
  o.insert(u"reading"_s, text::encodingName(reading.encoding));
  o.insert(u"reading_decided_by"_s, text::deciderName(reading.decider));
  // A declared encoding read in neither way: the count decided instead.
  if (!reading.unreadLabel.isEmpty())
    o.insert(u"declared_encoding"_s, QString::fromLatin1(reading.unreadLabel));
}

QJsonObject detection(const QByteArray& path, const platform::FileIdentity& scanned, int dirFd,
                      const QByteArray& name, QStringView signature, text::Encoding encoding,
                      text::LineEnds lineEnds) {
  QJsonObject o;
  o.insert(u"type"_s, u"detection"_s);
  platform::putPath(o, path);
  platform::UniqueFd fd(openToRead(dirFd, name));
  struct stat st;
  if (!fd.ok() || ::fstat(fd.get(), &st) != 0) {
    putError(o, errno);
  } else if (platform::identityOf(st) != scanned) {
    // Replaced since it was read: what is there now is not what was found.
    o.insert(u"error"_s, u"replaced since it was read"_s);
  } else {
    putStat(o, st);
    const Occurrences found = findOccurrences(fd.get(), signature, encoding, lineEnds);
    putOccurrences(o, found);
    putReading(o, found.reading);
    putSignatureNames(o, found.ranges, signature);
    if (found.error != 0)
      putError(o, found.error);
    return o;
  }
  // What the scan knew: the file it read.
  o.insert(u"device"_s, qint64(scanned.device));
  o.insert(u"inode"_s, qint64(scanned.inode));
  return o;
}

std::optional<std::vector<ReportedFile>> readReport(const QByteArray& jsonLines, QString* why) {
  std::vector<ReportedFile> files;
  qsizetype number = 0;
  for (const QByteArray& line : jsonLines.split('\n')) {
    ++number;
    if (line.trimmed().isEmpty())
      continue;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
    const QString where = u"line "_s + QString::number(number) + u": "_s;
    if (!doc.isObject()) {
      *why = where + (error.error != QJsonParseError::NoError ? error.errorString()
                                                              : u"not a JSON object"_s);
      return std::nullopt;
    }
    const QJsonObject o = doc.object();
    if (o.value(u"type"_s) != u"detection"_s)
      continue;
    const std::optional<QByteArray> path = platform::takePath(o);
    const QJsonValue device = o.value(u"device"_s);
    const QJsonValue inode = o.value(u"inode"_s);
    if (!path || path->isEmpty() || !device.isDouble() || !inode.isDouble()) {
      *why = where + u"a detection without its path, device and inode"_s;
      return std::nullopt;
    }
    files.push_back(ReportedFile{
        *path, platform::FileIdentity{quint64(device.toInteger()), quint64(inode.toInteger())}});
  }
  return files;
}

}  // namespace cli
