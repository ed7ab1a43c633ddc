// The rewrite of one file, in the stages that cleanFile runs one after another
// and that a batch (batch.cpp) runs for many files at a time: open and check,
// keep, write the new file, flush it, rename it over the old one, flush the
// folder. Internal to the clean engine.
#pragma once

#include <sys/stat.h>

#include <QByteArray>
#include <QStringView>

#include <cstdint>
#include <optional>
#include <utility>

#include "clean/fileio.h"
#include "clean/rewrite.h"
#include "platform/fd.h"
#include "platform/fs.h"

namespace clean {

// One stage of the rewrite: went through, or stopped with a failure. Implicit
// from a Failure, so that a stage returns its refusal as it is.
class [[nodiscard]] Stage {
 public:
  static Stage passed() { return Stage(); }
  Stage(Failure why) : failure_(std::move(why)) {}

  bool ok() const { return !failure_; }
  // Only when !ok().
  const Failure& failure() const { return *failure_; }

 private:
  Stage() = default;
  std::optional<Failure> failure_;
};

// What writing or placing a new file in the old one's place came to.
class [[nodiscard]] Replacement {
 public:
  enum class Kind {
    Done,
    NeedsInPlace,  // the new file cannot carry the old one's identity
    Failed,
  };
  static Replacement done() { return Replacement(Kind::Done); }
  static Replacement needsInPlace() { return Replacement(Kind::NeedsInPlace); }
  Replacement(Failure why) : kind_(Kind::Failed), failure_(std::move(why)) {}

  Kind kind() const { return kind_; }
  // Only for Kind::Failed.
  const Failure& failure() const { return failure_; }

 private:
  explicit Replacement(Kind kind) : kind_(kind) {}
  Kind kind_;
  Failure failure_;
};

// The new file beside the original, created exclusively under the name the
// keeper has journaled, so that nobody can have put a file or a link there for
// us to write through. It is removed again unless kept.
class TempFile {
 public:
  TempFile(int dirfd, const QByteArray& name) : dirfd_(dirfd), name_(name) {}
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() { discard(); }

  int create();
  int fd() const { return fd_.get(); }
  const QByteArray& name() const { return name_; }
  // Written and flushed: the descriptor is no longer needed.
  void close() { fd_.reset(); }
  // The name is in use elsewhere now (renamed over the original).
  void keep() {
    fd_.reset();
    name_.clear();
  }
  void discard();

 private:
  int dirfd_;
  QByteArray name_;
  platform::UniqueFd fd_;
};

Failure failure(Reason reason, int error = 0);
// A system error, told by its own reason where there is a plainer one.
Failure systemFailure(int error);

class Cleaning {
 public:
  // `keeperFile`: the file's number with the keeper (-1: the one it heard of last).
  Cleaning(QByteArray path, QStringView signature, const Options& o,
           std::optional<platform::FileIdentity> scannedAs, int keeperFile = -1)
      : path_(std::move(path)),
        signature_(signature),
        o_(o),
        steps_(o, path_),
        scannedAs_(scannedAs),
        keeperFile_(keeperFile) {}

  // The file now at the path, after a successful run.
  platform::FileIdentity cleanedAs() const { return cleanedAs_; }
  // Occurrences removed by the last content written.
  qint64 removed() const { return removed_; }
  // The file as opened.
  const struct stat& opened() const { return st_; }
  int folder() const { return dir_.get(); }
  const Steps& steps() const { return steps_; }

  // All stages, one after another.
  CleanResult run();

  // The stages.
  Stage open();
  // Renaming a new file over one with several names would leave the others with
  // the old content; a new file owned by someone else than the old one would
  // change who the file belongs to.
  bool inPlace() const;
  // Tells the keeper, which keeps a copy.
  Stage keep();
  // The new file, written in full; kept open until flushed. Unless done, no new
  // file is left.
  Replacement writeTemp();
  // Flushes the new file; `flushed`: the caller flushed its whole file system.
  Stage syncTemp(bool flushed);
  // Checks that the old file is still the one read and renames the new one over it.
  Stage rename();
  // Flushes the folder after the rename; `flushed`: the caller has flushed it.
  Stage syncFolder(bool flushed);
  CleanResult rewriteInPlace();

  // After open(): which member of the signature makes the file one to
  // quarantine (`all`: any occurrence of any member does), or none. 0 or errno.
  int quarantineMember(bool all, std::optional<std::uint32_t>& member);
  // After open(): the keeper keeps the file, then its name is taken out of the
  // folder open since open(), never through a path looked up again.
  CleanResult quarantine();

 private:
  // Opens the checked file for reading and writing, or says why it may not.
  Stage openForWriting();
  Replacement replace();
  Replacement fillTemp();
  // The new content from `from` (the original or its copy) into `to`.
  int produce(int from, int to, Step writeStep, bool truncate);

  QByteArray path_;
  QStringView signature_;
  const Options& o_;
  Steps steps_;
  std::optional<platform::FileIdentity> scannedAs_;
  int keeperFile_;
  platform::FileIdentity cleanedAs_;
  platform::UniqueFd dir_;
  QByteArray name_;
  QByteArray tempName_;
  platform::UniqueFd file_;
  struct stat st_ {};
  std::optional<TempFile> temp_;
  struct stat tempSt_ {};
  qint64 removed_ = 0;
};

}  // namespace clean
