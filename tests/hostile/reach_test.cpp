// Nothing in scope is passed over unsaid: dot entries, trees deeper than a path
// may be long, files the scan may not read, and a process short of descriptors.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include "engine/messages.h"
#include "hostile.h"

using namespace Qt::StringLiterals;
using hostile::kInfected;

namespace {

class Reach : public ::testing::TestWithParam<int>, public hostile::ScanFixture {
 protected:
  Reach() : ScanFixture(GetParam()) {}
};

INSTANTIATE_TEST_SUITE_P(Threads, Reach, ::testing::Values(1, 3),
                         [](const ::testing::TestParamInfo<int>& p) {
                           return "threads" + std::to_string(p.param);
                         });

// Scans in a child limited to `descriptors` open files; the log comes back.
QStringList scanWithDescriptors(hostile::ScanFixture& f, rlim_t descriptors, int seconds,
                                qsizetype* unreadable = nullptr) {
  const hostile::ChildResult r = hostile::runChild(
      [&](int out) {
        const rlimit lim{descriptors, descriptors};
        if (::setrlimit(RLIMIT_NOFILE, &lim) != 0)
          return 3;
        f.scan();
        hostile::writeAll(out, QByteArray::number(f.w.unreadableFiles.size()) + '\n' +
                                   f.logged().join(u'|').toUtf8());
        return 0;
      },
      seconds);
  if (r.exitCode != 0)
    return {u"child failed: "_s + QString::number(r.exitCode)};
  const qsizetype nl = r.out.indexOf('\n');
  if (unreadable)
    *unreadable = r.out.left(nl).toLongLong();
  const QString log = QString::fromUtf8(r.out.mid(nl + 1));
  return log.isEmpty() ? QStringList() : log.split(u'|');
}

}  // namespace

TEST_P(Reach, DotFilesAndDotFoldersAreTestedLikeAnyOther) {
  t.write(".well-known/x.php", kInfected);
  t.write(".hidden/shell.php", kInfected);
  t.write(".user.php", kInfected);
  t.write("index.php", "<html></html>");
  scan();
  EXPECT_EQ(logged(),
            (QStringList{u".user.php"_s, u".hidden/shell.php"_s, u".well-known/x.php"_s}));
  EXPECT_TRUE(w.messages.isEmpty()) << w.messages.join(u'|').toStdString();
}

TEST_P(Reach, FiveThousandLevelsDeepAreWalkedWithFewDescriptors) {
  // One-letter names: the deepest path is over 10,000 bytes, more than twice the
  // longest a system call takes. With 32 descriptors the walk cannot hold one per
  // level either.
  const int depth = 5000;
  t.write("top.asp", kInfected);
  ASSERT_TRUE(hostile::makeChain(t.rootBytes(), "d", depth, "x.asp", kInfected));
  QByteArray deep;
  for (int i = 0; i < depth; ++i)
    deep += "d/";
  ASSERT_GT(t.abs(deep).size(), 2 * PATH_MAX);
  qsizetype unreadable = -1;
  const QStringList found = scanWithDescriptors(*this, 32, 300, &unreadable);
  EXPECT_EQ(found, (QStringList{u"top.asp"_s, QString::fromUtf8(deep + "x.asp")}));
  EXPECT_EQ(unreadable, 0);
  hostile::removeDeep(t.abs("d"));
}

TEST_P(Reach, FilesTheUserMayNotReadAreCountedAndToldOnce) {
  t.write("a.asp", kInfected);
  t.write("b.asp", kInfected);
  t.write("closed/c.asp", kInfected);        // the folder cannot be listed
  t.write("unsearchable/d.asp", kInfected);  // listed, but nothing in it can be opened
  t.chmod("a.asp", 0);
  t.chmod("closed", 0);
  t.chmod("unsearchable", 0644);
  const hostile::ChildResult r = hostile::runChild(
      [&](int out) {
        scan();
        QStringList paths;
        for (const WindowState::Unreadable& u : w.unreadableFiles)
          paths.append(u.path + u':' + QString::number(u.error));
        hostile::writeAll(
            out, (logged().join(u'|') + u'\n' + paths.join(u'|') + u'\n' + w.messages.join(u'|'))
                     .toUtf8());
        return 0;
      },
      60, /*unprivileged=*/true);
  t.chmod("closed", 0755);
  t.chmod("unsearchable", 0755);
  ASSERT_EQ(r.exitCode, 0);
  const QList<QByteArray> parts = r.out.split('\n');
  ASSERT_GE(parts.size(), 3);
  EXPECT_EQ(parts[0], "b.asp");
  // Reading happens on other threads with several: the order may differ, not the set.
  QStringList unreadable = QString::fromUtf8(parts[1]).split(u'|');
  unreadable.sort();
  const QString eacces = u":"_s + QString::number(EACCES);
  EXPECT_EQ(unreadable, (QStringList{t.path("a.asp") + eacces, t.path("closed/") + eacces,
                                     t.path("unsearchable/d.asp") + eacces}));
  // One message, after the hand-off, with the count.
  const QString messages = QString::fromUtf8(r.out.mid(parts[0].size() + parts[1].size() + 2));
  EXPECT_TRUE(messages.startsWith(msg::kUnreadable.toString().arg(3) + u"\r\n"_s))
      << messages.toStdString();
  EXPECT_FALSE(messages.contains(u'|'));
  EXPECT_TRUE(messages.contains(t.path("a.asp")));
}

TEST(ReachMany, ShortOfDescriptorsEveryInfectedFileIsStillFound) {
  // As many threads as descriptors: the reading threads and the folders kept open
  // for them want more than there are, so opens fail now and then and must be
  // waited out rather than taken for clean files.
  hostile::ScanFixture f(32);
  const int folders = 500;
  const QByteArray page = QByteArray(64 * 1024, ' ') + kInfected;
  QStringList expected;
  for (int i = 0; i < folders; ++i) {
    const QByteArray dir = "f" + QByteArray::number(i).rightJustified(3, '0');
    f.t.write(dir + "/a.asp", page);
    f.t.write(dir + "/b.asp", page);
    expected << QString::fromUtf8(dir + "/a.asp") << QString::fromUtf8(dir + "/b.asp");
  }
  qsizetype unreadable = -1;
  const QStringList found = scanWithDescriptors(f, 24, 300, &unreadable);
  EXPECT_EQ(found.size(), expected.size());
  EXPECT_TRUE(found == expected) << found.first().toStdString();
  EXPECT_EQ(unreadable, 0);
}
