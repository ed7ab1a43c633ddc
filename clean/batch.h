// Cleans consecutive files of a list together, so that their flushes to disk
// are shared: a clean of a mass defacement rewrites thousands of small files,
// and one flush per file and step, one after another, costs far more than the
// writing.
//
// Each file is still rewritten as cleanFile rewrites it, and is at every moment
// either its old or its new content:
// 1. each file is opened and checked, and the keeper keeps its copy and record;
// 2. all of that is flushed at once (before any new file is made beside a file
//    of the list, so that a crash leaves none that the journal does not name);
// 3. the new files are written, then flushed at once;
// 4. in list order, each old file is checked again and the new one renamed over
//    it; then each folder is flushed once for the files renamed in it.
// A file rewritten in place (hard links, or not ours to replace) is done alone,
// in its turn, as cleanFile does it; so is a file already in the batch under
// another name.
//
// At the first failure the files after it are left as they were: their new
// files are removed unrenamed. One exception, told in the failure: when the
// flush of a folder fails after several files were renamed in it, those after
// the reported one were replaced too.
#pragma once

#include <QByteArray>
#include <QStringView>

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "clean/rewrite.h"
#include "platform/fs.h"

namespace clean {

class Cleaning;
class Replacement;

class Batch {
 public:
  // At most `capacity` files at a time: each holds two or three descriptors
  // until it is committed.
  static constexpr std::size_t kCapacity = 64;

  // `options.keeper`, when set, keeps each file; its flushes are held for the
  // batch while it lives.
  Batch(QStringView signature, const Options& options, std::size_t capacity = kCapacity);
  // Whatever was added and not committed is discarded unchanged.
  ~Batch();
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

  enum class Added {
    Yes,
    Later,   // commit the batch first, then add it again; nothing was done to it
    Failed,  // see `failure`; nothing of the file changed
  };
  struct Add {
    Added added = Added::Yes;
    Failure failure;
  };
  // Opens and checks the next file of the list and has the keeper keep it.
  // `keeperFile`: the file's number with the keeper. With `scannedAs`, the path
  // must still lead to the file the scan read there (see cleanFile).
  // `fileOptions`: this file's own options instead of the batch's (a restore
  // puts back each file from its own copy, with its own time and owner); its
  // keeper must be the batch's.
  [[nodiscard]] Add add(const QByteArray& path, std::optional<platform::FileIdentity> scannedAs,
                        int keeperFile, const Options* fileOptions = nullptr);
  bool full() const;
  bool empty() const { return files_.empty(); }

  // What became of one file of a commit.
  struct Done {
    enum class Kind {
      Cleaned,
      Failed,              // the first failure; the files after it are NotReached
      CleanedPastFailure,  // replaced after the failing file (see Failure::alsoReplaced)
      NotReached,          // left as it was, because an earlier file failed
    };
    Kind kind = Kind::NotReached;
    Placement placement = Placement::Replaced;
    Failure failure;
    platform::FileIdentity cleanedAs;  // the file now at the path, when cleaned
    qint64 removed = 0;                // occurrences removed, when cleaned

    CleanResult result() const;
  };
  // Cleans the files added, in the order they were added, and empties the batch.
  // One entry per file, in that order.
  std::vector<Done> commit();

 private:
  struct File;

  class Releaser;

  // The new files of the first `count` files, each but those done alone.
  void writeAll(std::size_t count, std::vector<std::optional<Replacement>>& written);
  struct Progress;
  // The file at `pos`, rewritten in place by itself: the next position, or
  // nothing when it failed.
  std::optional<std::size_t> commitAlone(std::size_t pos, Progress& run);
  // The files from `pos` up to the next one done alone: their new files flushed
  // and renamed; the next position, or nothing when the flush failed.
  std::optional<std::size_t> commitStretch(std::size_t pos,
                                           const std::vector<std::optional<Replacement>>& written,
                                           Progress& run);
  // The renames of the files from `pos` to `stretch`, a folder at a time, each
  // folder flushed after its renames.
  void renameStretch(std::size_t pos, std::size_t stretch, Progress& run);

  QStringView signature_;
  const Options& o_;
  std::size_t capacity_;
  std::vector<std::unique_ptr<File>> files_;
  std::unique_ptr<Releaser> releaser_;
};

}  // namespace clean
