// The rewrite's flushes to disk, seen where they reach the system: this program
// defines its own fsync and renameat, which the rewrite's calls resolve to, and
// which note each call before passing it on to the C library. A sync that is
// skipped or comes in the wrong order shows here, whatever the test hooks see.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <vector>

#include "clean/remover.h"
#include "clean/rewrite.h"
#include "testsupport.h"

namespace {

struct Call {
  enum Kind { Sync, Rename } kind;
  dev_t dev = 0;  // for Sync: the file or folder synced
  ino_t ino = 0;
  off_t size = 0;
  bool folder = false;
};

bool recording = false;
std::vector<Call> calls;

template <typename F>
F next(const char* name) {
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int fsync(int fd) {
  static const auto real = next<int (*)(int)>("fsync");
  if (recording) {
    struct stat st {};
    ::fstat(fd, &st);
    calls.push_back({Call::Sync, st.st_dev, st.st_ino, st.st_size, S_ISDIR(st.st_mode)});
  }
  return real(fd);
}

extern "C" int renameat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath) {
  static const auto real = next<int (*)(int, const char*, int, const char*)>("renameat");
  if (recording)
    calls.push_back({Call::Rename, 0, 0, 0, false});
  return real(olddirfd, oldpath, newdirfd, newpath);
}

namespace {

const QString kSig = QStringLiteral(u"<iframe src=x width=0>");
const QByteArray kContent = "<p>" + kSig.toUtf8() + "</p>\r\n";

struct stat statOf(const QByteArray& path) {
  struct stat st {};
  ::lstat(path.constData(), &st);
  return st;
}

clean::CleanResult recordedClean(const QByteArray& path) {
  calls.clear();
  recording = true;
  const clean::CleanResult r = clean::cleanFile(path, kSig);
  recording = false;
  return r;
}

// The place of the first call that `match` accepts, or -1.
template <typename M>
long indexOf(M match) {
  const auto it = std::find_if(calls.begin(), calls.end(), match);
  return it == calls.end() ? -1 : long(it - calls.begin());
}

bool isSyncOf(const Call& c, const struct stat& st) {
  return c.kind == Call::Sync && c.dev == st.st_dev && c.ino == st.st_ino;
}

TEST(RewriteSync, NewFileSyncedBeforeTheRenameAndFolderAfterIt) {
  TempTree t;
  t.mkdir("www");
  t.write("www/a.htm", kContent);

  const clean::CleanResult r = recordedClean(t.abs("www/a.htm"));

  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r.placement(), clean::Placement::Replaced);
  const struct stat file = statOf(t.abs("www/a.htm"));  // the new file, renamed
  const struct stat folder = statOf(t.abs("www"));
  const long rename = indexOf([](const Call& c) { return c.kind == Call::Rename; });
  const long fileSync = indexOf([&](const Call& c) { return isSyncOf(c, file); });
  const long folderSync = indexOf([&](const Call& c) { return isSyncOf(c, folder); });
  ASSERT_GE(rename, 0);
  ASSERT_GE(fileSync, 0) << "the new file is never synced";
  EXPECT_LT(fileSync, rename) << "the new file is synced after the rename";
  EXPECT_EQ(calls[std::size_t(fileSync)].size, file.st_size);  // with all its content
  ASSERT_GE(folderSync, 0) << "the folder is never synced";
  EXPECT_GT(folderSync, rename) << "the folder is synced before the rename";
  EXPECT_TRUE(calls[std::size_t(folderSync)].folder);
}

TEST(RewriteSync, InPlaceCopySyncedBeforeTheFileAndTheFileAfterItsWrite) {
  TempTree t;
  t.write("a.htm", kContent);
  ASSERT_EQ(::link(t.abs("a.htm").constData(), t.abs("b.htm").constData()), 0);
  const struct stat file = statOf(t.abs("a.htm"));

  const clean::CleanResult r = recordedClean(t.abs("a.htm"));

  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r.placement(), clean::Placement::InPlace);
  // The copy: a file of the old length, not the one being cleaned.
  const long copySync = indexOf([&](const Call& c) {
    return c.kind == Call::Sync && !c.folder && !isSyncOf(c, file) && c.size == file.st_size;
  });
  const long fileSync = indexOf([&](const Call& c) { return isSyncOf(c, file); });
  ASSERT_GE(copySync, 0) << "the copy is never synced";
  ASSERT_GE(fileSync, 0) << "the file is never synced";
  EXPECT_LT(copySync, fileSync);
  const off_t cleanedSize = clean::removeSignature(kContent, kSig, 1 << 20).size();
  EXPECT_EQ(calls[std::size_t(fileSync)].size, cleanedSize);
  EXPECT_EQ(t.read("b.htm").size(), cleanedSize);
}

}  // namespace
