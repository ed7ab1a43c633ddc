// The command line's machine-readable output, JSON Lines (one object a line), and
// reading a scan's report back for the clean. The schema is the manual page's.
#pragma once

#include <sys/stat.h>

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringView>

#include <vector>

#include "clean/occurrences.h"
#include "clean/remover.h"
#include "platform/fileidentity.h"
#include "text/encoding.h"
#include "text/lineends.h"

namespace cli {

using clean::findOccurrences;
using clean::kListedRanges;
using clean::Occurrences;

// Opens `name` below `dirFd` (AT_FDCWD: a path) to read it and nothing else: no
// link followed in the last part, no wait on a FIFO, and its access time left as
// it is where the system allows. -1 with errno on failure.
int openToRead(int dirFd, const QByteArray& name);

// "2026-12-07T14:16:17.123456789Z": UTC, to the nanosecond.
QString isoTime(const struct timespec& t);

// size, mtime, ctime, mode, uid, gid, device and inode of a file.
void putStat(QJsonObject& o, const struct stat& st);
// "occurrences", "offsets" and "lengths".
void putOccurrences(QJsonObject& o, const Occurrences& found);
// "reading", "reading_decided_by" and, for a declaration of an encoding read
// in neither way, "declared_encoding".
void putReading(QJsonObject& o, const text::Reading& reading);
// "error" (the system's text) and "errno".
void putError(QJsonObject& o, int error);

// One object as one line.
QByteArray jsonLine(const QJsonObject& o);

// The report's object for a file the scan found: `name` below `dirFd` is the file
// that was read, `scanned` its identity then.
QJsonObject detection(const QByteArray& path, const platform::FileIdentity& scanned, int dirFd,
                      const QByteArray& name, QStringView signature, text::Encoding encoding,
                      text::LineEnds lineEnds = text::LineEnds::Any);

// A file a report lists, with the identity of the file that the scan read.
struct ReportedFile {
  QByteArray path;
  platform::FileIdentity identity;
};
// The detections of a scan's report, in order. Nothing, with `why` set, when a
// line is not a JSON object or a detection lacks its path or identity; the
// summary and other objects are passed over.
std::optional<std::vector<ReportedFile>> readReport(const QByteArray& jsonLines, QString* why);

}  // namespace cli
