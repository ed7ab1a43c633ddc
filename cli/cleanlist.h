// The list a clean works through: the paths of a log or of a scan's report,
// with the identities the report gives them.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <optional>

#include "cli/logreader.h"
#include "cli/sink.h"
#include "platform/fd.h"
#include "platform/fileidentity.h"

namespace cli {

// The identities a scan's report gives its files, by their paths' bytes.
using Identities = QHash<QByteArray, platform::FileIdentity>;

// The files to clean, one at a time: a scan's report (read whole, with the
// identities of its files), or a log read as it goes, so that memory stays
// bounded however long it is.
class PathList {
 public:
  // One path per line, in the form the scan writes (platform/pathline.h); a CR
  // before the LF belongs to the line end. With `nul`, raw paths each ended by a
  // NUL. A last path without its end is a path as well. Ends the command when
  // the list cannot be read.
  PathList(const QString& report, const QString& input, bool nul, Sink& err);

  enum class Next { Path, NotAPath, End };
  // The next path's bytes, or the line that is no path (left to the clean, which
  // names it).
  Next next(QByteArray& path, QString& line);

  const Identities& identities() const { return identities_; }
  std::optional<platform::FileIdentity> identityOf(const QByteArray& path) const;

  // Ends the command when the list could not be read to its end.
  void checkRead() const;
  bool readToEnd() const { return status_ == LogReader::Status::End; }

 private:
  QString input_;
  bool nul_;
  Sink& err_;
  bool fromReport_ = false;
  Identities identities_;
  QList<QByteArray> reported_;
  qsizetype nextReported_ = 0;
  platform::UniqueFd fd_;
  std::optional<LogReader> reader_;
  LogReader::Status status_ = LogReader::Status::End;
};

}  // namespace cli
