#include "cli/cleanpreview.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <QJsonObject>

#include <cerrno>

#include "cli/common.h"
#include "cli/report.h"
#include "cli/signatureoptions.h"
#include "platform/fd.h"
#include "platform/openpath.h"
#include "platform/pathjson.h"
#include "platform/pathline.h"

using namespace Qt::StringLiterals;

namespace cli {

namespace {

// Opens the file at `path` to read it only after the checks the clean itself
// applies: its folder reached as the clean reaches it (one folder at a time, so
// that any length works; through a link only where the clean would go through
// it, any link when the scan's identity will judge the file), then the name
// looked at without following it: a regular file, and the file the scan found
// when the report names one. Nothing else is ever opened, so that a path swapped
// for a device, a FIFO or a link outside the tree is refused unread. -1 with
// `why` set, or with `error` for a system error; `st`: the file opened.
int openChecked(const QByteArray& path, const Identities& identities, struct stat& st, int& error,
                QString& why) {
  const auto id = identities.constFind(path);
  const bool identified = id != identities.constEnd();
  platform::OpenedFolder folder = platform::openFolderOf(
      path, identified ? platform::LinkTrust::Any : platform::LinkTrust::Trusted);
  if (!folder.dir.ok()) {
    if (!folder.untrustedLink.isEmpty()) {
      why = u"not followed: the link "_s + platform::lineOfBytes(folder.untrustedLink) +
            u" lies in a folder that others than root and you can change"_s;
    }
    error = folder.error;
    return -1;
  }
  struct stat named;
  if (::fstatat(folder.dir.get(), folder.name.constData(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
    error = errno;
    return -1;
  }
  if (S_ISLNK(named.st_mode)) {
    why = u"a symbolic link, not followed"_s;
    return -1;
  }
  if (!S_ISREG(named.st_mode)) {
    why = u"not a regular file"_s;
    return -1;
  }
  if (identified && id.value() != platform::identityOf(named)) {
    why = u"not the file the scan found there"_s;
    return -1;
  }
  platform::UniqueFd fd(openToRead(folder.dir.get(), folder.name));
  if (!fd.ok() || ::fstat(fd.get(), &st) != 0) {
    error = errno;
    return -1;
  }
  // Swapped between the look and the open.
  if (!S_ISREG(st.st_mode) || platform::identityOf(st) != platform::identityOf(named)) {
    why = u"replaced while it was opened"_s;
    return -1;
  }
  return fd.release();
}

// The byte ranges as "FIRST-LAST" (both included), separated by spaces.
QByteArray rangesText(const std::vector<clean::ByteRange>& ranges) {
  QByteArray s;
  for (const clean::ByteRange& r : ranges) {
    if (!s.isEmpty())
      s += ' ';
    s += QByteArray::number(r.offset) + '-' + QByteArray::number(r.offset + r.length - 1);
  }
  return s;
}

// Tells what the clean would remove from files; changes nothing.
class DryRun {
 public:
  DryRun(const Identities& identities, const QString& signature, bool quarantine,
         text::Encoding encoding, text::LineEnds lineEnds, bool json, Sink& out, Sink& err)
      : identities_(identities),
        signature_(signature),
        quarantine_(quarantine),
        encoding_(encoding),
        lineEnds_(lineEnds),
        json_(json),
        out_(out),
        err_(err) {}

  void file(const QByteArray& path) {
    ++files_;
    const QByteArray line = platform::lineOfBytes(path).toUtf8();
    QJsonObject o{{u"type"_s, u"clean"_s}};
    platform::putPath(o, path);
    int error = 0;
    QString why;
    struct stat st {};
    platform::UniqueFd fd(openChecked(path, identities_, st, error, why));
    if (!fd.ok() && error == 0 && why.isEmpty())
      error = EIO;
    Occurrences found;
    if (error == 0 && why.isEmpty()) {
      found = findOccurrences(fd.get(), signature_, encoding_, lineEnds_);
      error = found.error;
    }
    if (error != 0 || !why.isEmpty()) {
      if (why.isEmpty())
        why = platform::errorText(error);
      ++failed_;
      err_.write("tervane-cli: " + line + ": " + why.toUtf8() + '\n');
      o.insert(u"outcome"_s, u"failed"_s);
      o.insert(u"error"_s, why);
    } else if (const auto member = clean::quarantineMember(found, signature_, quarantine_)) {
      wouldQuarantine(o, line, found, st, *member);
    } else {
      wouldClean(o, line, found, st);
    }
    if (json_)
      out_.write(jsonLine(o));
  }

  int finish() {
    if (json_) {
      out_.write(jsonLine(QJsonObject{{u"type"_s, u"summary"_s},
                                      {u"files"_s, files_},
                                      {u"files_changing"_s, changing_},
                                      {u"files_quarantining"_s, quarantining_},
                                      {u"files_failed"_s, failed_}}));
    }
    return failed_ > 0 ? kError : kOk;
  }

 private:
  void wouldQuarantine(QJsonObject& o, const QByteArray& line, const Occurrences& found,
                       const struct stat& st, std::uint32_t member) {
    ++quarantining_;
    o.insert(u"outcome"_s, u"would-quarantine"_s);
    const QStringList names = memberNames(signature_);
    const QString name = names.value(qsizetype(member));
    if (!name.isEmpty())
      o.insert(u"signature"_s, name);
    o.insert(u"other_names"_s, qint64(st.st_nlink) - 1);
    putOccurrences(o, found);
    putStat(o, st);
    if (json_)
      return;
    out_.write(line + ": would be quarantined, it holds " +
               (name.isEmpty() ? QByteArray("the signature")
                               : "the signature " + platform::visibleText(name).toUtf8() +
                                     ", whose action is quarantine") +
               (st.st_nlink > 1 ? "; its " + QByteArray::number(qlonglong(st.st_nlink - 1)) +
                                      " other name(s) would stay"
                                : QByteArray()) +
               '\n');
  }

  void wouldClean(QJsonObject& o, const QByteArray& line, const Occurrences& found,
                  const struct stat& st) {
    const bool changes = !found.ranges.empty();
    changing_ += changes ? 1 : 0;
    o.insert(u"outcome"_s, changes ? u"would-clean"_s : u"unchanged"_s);
    putOccurrences(o, found);
    putReading(o, found.reading);
    putSignatureNames(o, found.ranges, signature_);
    putStat(o, st);
    if (json_)
      return;
    out_.write(line + ": " +
               (changes ? QByteArray::number(qlonglong(found.count)) + " to remove, bytes " +
                              rangesText(found.ranges) +
                              (found.count > qint64(found.ranges.size()) ? " ..." : "") +
                              signatureNamesText(found.ranges, signature_)
                        : QByteArray("unchanged")) +
               '\n');
  }

  const Identities& identities_;
  QString signature_;
  bool quarantine_;
  text::Encoding encoding_;
  text::LineEnds lineEnds_;
  bool json_;
  Sink& out_;
  Sink& err_;
  qint64 files_ = 0;
  qint64 changing_ = 0;
  qint64 quarantining_ = 0;
  qint64 failed_ = 0;
};

}  // namespace

int previewClean(PathList& list, const QString& signature, bool quarantine, text::Encoding encoding,
                 text::LineEnds lineEnds, bool json, Sink& out, Sink& err) {
  DryRun preview(list.identities(), signature, quarantine, encoding, lineEnds, json, out, err);
  QByteArray path;
  QString line;
  PathList::Next next;
  while ((next = list.next(path, line)) != PathList::Next::End) {
    if (next == PathList::Next::NotAPath) {
      err.write("tervane-cli: " + platform::visibleText(line).toUtf8() + ": not a path\n");
      throw Exit{kError};
    }
    preview.file(path);
  }
  list.checkRead();
  const int result = preview.finish();
  checkOutput(out, err);
  return result;
}

}  // namespace cli
