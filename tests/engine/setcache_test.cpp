// The set cache: a set built once is read back, and nothing at the cache's
// place that is not a genuine entry in a genuine folder is used; the scan's
// answers stay right either way.
#include "engine/setcache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QDataStream>
#include <QDir>
#include <QFile>

#include <functional>
#include <memory>
#include <vector>

#include "scan/signaturesetmatch.h"
#include "testsupport.h"

using namespace Qt::StringLiterals;

namespace {

const std::vector<QString> kSet{u"<iframe src=x>"_s, u"木马"_s, u"kit"_s};

// The set cache, counting what it gave and what it was given.
struct Counted : scan::BuiltSetStore {
  Counted() : cache([this](const QString&) { ++warnings; }) {}
  QByteArray load(const QByteArray& key) override {
    const QByteArray image = cache.load(key);
    given += !image.isEmpty();
    return image;
  }
  void save(const QByteArray& key, const QByteArray& image) override {
    ++kept;
    cache.save(key, image);
  }
  engine::SetCache cache;
  int given = 0;
  int kept = 0;
  int warnings = 0;
};

class SetCacheTest : public ::testing::Test {
 protected:
  SetCacheTest() {
    QDir(QString::fromLocal8Bit(folder())).removeRecursively();
    key = scan::SetMatcher::storeKey(kSet, text::Encoding::Auto, text::LineEnds::Any);
  }
  ~SetCacheTest() override { scan::SetMatcher::keepBuiltSetsIn(nullptr); }

  static QByteArray folder() { return engine::SetCache::path(); }
  QByteArray entry() const { return folder() + '/' + key + ".set"; }

  // A command's use of the set: through a fresh cache, then the answers.
  std::shared_ptr<Counted> use() {
    auto store = std::make_shared<Counted>();
    scan::SetMatcher::keepBuiltSetsIn(store);
    const auto set = scan::SetMatcher::shared(kSet, text::Encoding::Auto, text::LineEnds::Any);
    std::vector<std::uint32_t> found;
    // UTF-8 "kit" in capitals, GBK 木马, and the frame with a Kelvin sign.
    EXPECT_TRUE(set->matchBytes("a KIT b", 0, &found));
    EXPECT_EQ(found, (std::vector<std::uint32_t>{2}));
    EXPECT_TRUE(set->matchBytes("\xC4\xBE\xC2\xED", 0, &found));
    EXPECT_EQ(found, (std::vector<std::uint32_t>{1}));
    EXPECT_TRUE(set->matchBytes("<iframe src=x>\xE2\x84\xAAit", 3, &found));
    EXPECT_EQ(found, (std::vector<std::uint32_t>{0, 2}));
    EXPECT_FALSE(set->matchBytes("<iframe src=y> ki t", 0));
    return store;
  }

  QByteArray key;
};

QByteArray readFile(const QByteArray& path) {
  QFile f(QString::fromLocal8Bit(path));
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Rewrites the file in place: its owner and mode stay.
void overwrite(const QByteArray& path, const QByteArray& bytes) {
  const int fd = ::open(path.constData(), O_WRONLY | O_TRUNC | O_CREAT | O_NOFOLLOW, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, bytes.constData(), std::size_t(bytes.size())), bytes.size());
  ::close(fd);
}

ino_t inodeOf(const QByteArray& path) {
  struct stat st;
  return ::lstat(path.constData(), &st) == 0 ? st.st_ino : 0;
}

TEST_F(SetCacheTest, AKeptSetIsReadBackAndAnEntryNotGenuineIsBuiltAnew) {
  const auto cold = use();
  EXPECT_EQ(cold->given, 0);
  EXPECT_EQ(cold->kept, 1);
  struct stat st;
  ASSERT_EQ(::stat(folder().constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  const QByteArray good = readFile(entry());
  ASSERT_FALSE(good.isEmpty());
  const auto warm = use();
  EXPECT_EQ(warm->given, 1);
  EXPECT_EQ(warm->kept, 0);

  // A genuine entry's copy beside the folder, on the same file system.
  const QByteArray copy = folder() + ".copy";
  overwrite(copy, good);
  const std::vector<std::pair<const char*, std::function<void()>>> faults{
      {"a byte changed",
       [&] {
         QByteArray b = good;
         b[b.size() / 2] = char(b[b.size() / 2] ^ 1);
         overwrite(entry(), b);
       }},
      {"cut short", [&] { overwrite(entry(), good.left(good.size() / 2)); }},
      {"a link to a genuine copy",
       [&] {
         ::unlink(entry().constData());
         ASSERT_EQ(::symlink(copy.constData(), entry().constData()), 0);
       }},
      {"a second name of a genuine copy",
       [&] {
         ::unlink(entry().constData());
         ASSERT_EQ(::link(copy.constData(), entry().constData()), 0);
       }},
      {"open to others",
       [&] {
         overwrite(entry(), good);
         ASSERT_EQ(::chmod(entry().constData(), 0666), 0);
       }},
  };
  for (const auto& [what, fault] : faults) {
    fault();
    const auto again = use();
    EXPECT_EQ(again->given, 0) << what;
    EXPECT_EQ(again->kept, 1) << what;
    EXPECT_EQ(again->warnings, 1) << what;
    // Kept anew in place of what was there, and used next time.
    EXPECT_EQ(readFile(entry()), good) << what;
    EXPECT_EQ(use()->given, 1) << what;
  }
  // The store's own hash holds for an entry of another Hyperscan: its image
  // says so, and the set is built anew.
  Counted store;
  QByteArray image = store.cache.load(key);
  QDataStream in(image);
  QByteArray magic;
  quint64 format = 0;
  in >> magic >> format;
  const qint64 versionAt = in.device()->pos() + 4;
  image[versionAt] = image[versionAt] == '9' ? '8' : '9';
  store.cache.save(key, image);
  const auto otherVersion = use();
  EXPECT_EQ(otherVersion->given, 1);
  EXPECT_EQ(otherVersion->kept, 1);
  EXPECT_EQ(readFile(entry()), good);
}

TEST_F(SetCacheTest, AFolderOpenToOthersOrNotTheUsersIsLeftAlone) {
  (void)use();
  const ino_t kept = inodeOf(entry());
  ASSERT_NE(kept, 0u);
  const auto refusedAndUntouched = [&](const char* what) {
    const auto again = use();
    EXPECT_EQ(again->given, 0) << what;
    EXPECT_EQ(again->warnings, 1) << what;
    EXPECT_EQ(inodeOf(entry()), kept) << what;
  };
  ASSERT_EQ(::chmod(folder().constData(), 0777), 0);
  refusedAndUntouched("mode 0777");
  struct stat st;
  ASSERT_EQ(::stat(folder().constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0777u);  // not closed by a reader: it may hold anything
  ASSERT_EQ(::chmod(folder().constData(), 0700), 0);
  // The folder as a link to a genuine one.
  const QByteArray moved = folder() + ".real";
  ASSERT_EQ(::rename(folder().constData(), moved.constData()), 0);
  ASSERT_EQ(::symlink(moved.constData(), folder().constData()), 0);
  refusedAndUntouched("a link");
  ASSERT_EQ(::unlink(folder().constData()), 0);
  ASSERT_EQ(::rename(moved.constData(), folder().constData()), 0);
  EXPECT_EQ(use()->given, 1);
  if (::geteuid() != 0)
    GTEST_SKIP() << "a folder of another user needs root to make";
  ASSERT_EQ(::chown(folder().constData(), 65534, 65534), 0);
  refusedAndUntouched("another user's");
}

TEST_F(SetCacheTest, TheLeastRecentlyUsedEntriesGoPastTheCap) {
  engine::SetCache cache({}, 3000);
  const QByteArray image(1000, 'x');  // 1,032 bytes an entry with its hash
  cache.save("a", image);
  cache.save("b", image);
  // Both written an hour ago (the clock may not tick between two saves)...
  for (const char* name : {"a.set", "b.set"}) {
    struct timespec times[2];
    ::clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= 3600;
    times[1] = times[0];
    ASSERT_EQ(::utimensat(AT_FDCWD, (folder() + '/' + name).constData(), times, 0), 0);
  }
  EXPECT_EQ(cache.load("a"), image);  // ...and a used now
  cache.save("c", image);
  EXPECT_EQ(cache.load("a"), image);
  EXPECT_TRUE(cache.load("b").isEmpty());
  EXPECT_EQ(cache.load("c"), image);
}

}  // namespace
