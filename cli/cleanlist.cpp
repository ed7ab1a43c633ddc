#include "cli/cleanlist.h"

#include "cli/common.h"
#include "cli/report.h"
#include "platform/pathcodec.h"
#include "platform/pathline.h"

using namespace Qt::StringLiterals;

namespace cli {

namespace {

// The files of a report, in order, with their identities.
QList<QByteArray> fromReport(const QString& file, Identities& identities, Sink& err) {
  QString why;
  const auto files = readReport(readAllOrFail(file, err), &why);
  if (!files)
    fail(err, shown(file) + u": "_s + why);
  QList<QByteArray> paths;
  for (const ReportedFile& f : *files) {
    // A file found twice was the same file both times, or the report is not one scan's.
    const auto seen = identities.constFind(f.path);
    if (seen != identities.constEnd() && seen.value() != f.identity)
      fail(err, shown(file) + u": two identities for "_s + platform::lineOfBytes(f.path));
    paths.append(f.path);
    identities.insert(f.path, f.identity);
  }
  return paths;
}

}  // namespace

PathList::PathList(const QString& report, const QString& input, bool nul, Sink& err)
    : input_(input), nul_(nul), err_(err) {
  if (!report.isEmpty()) {
    fromReport_ = true;
    reported_ = fromReport(report, identities_, err);
  } else {
    fd_ = openInputOrFail(input, err);
  }
  reader_.emplace(fd_.get(), nul ? '\0' : '\n', kLogLineLimit);
}

PathList::Next PathList::next(QByteArray& path, QString& line) {
  if (fromReport_) {
    if (nextReported_ == reported_.size())
      return Next::End;
    path = reported_[nextReported_++];
    return Next::Path;
  }
  QByteArray raw;
  if ((status_ = reader_->next(raw)) != LogReader::Status::Line)
    return Next::End;
  if (nul_) {
    path = raw;
    return Next::Path;
  }
  line = platform::decodePath(raw);
  const std::optional<QByteArray> bytes = platform::bytesOfLine(line);
  if (!bytes)
    return Next::NotAPath;
  path = *bytes;
  return Next::Path;
}

std::optional<platform::FileIdentity> PathList::identityOf(const QByteArray& path) const {
  const auto id = identities_.constFind(path);
  return id != identities_.constEnd() ? std::make_optional(id.value()) : std::nullopt;
}

void PathList::checkRead() const {
  if (status_ == LogReader::Status::TooLong) {
    // A scan can write such a line: thousands of folders deep, names of bytes
    // that are not UTF-8 take four characters a byte. Raw, the path is shorter.
    fail(err_, shown(input_) +
                   u": line %1 is longer than %2 bytes, the most a line may hold; the files "
                   u"after it were not touched"_s.arg(reader_->lineNumber())
                       .arg(kLogLineLimit) +
                   (nul_ ? QString()
                         : u" (a path that long is cleaned from the NUL-separated list of "
                           u"scan -0, with clean -0, or from a report of scan --json, with "
                           u"clean --report)"_s));
  }
  if (status_ == LogReader::Status::Error)
    fail(err_, shown(input_) + u": "_s + platform::errorText(reader_->error()));
}

}  // namespace cli
