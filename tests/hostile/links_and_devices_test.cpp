// Entries that are not plain files or folders: symbolic links (to files, to
// folders, out of the tree, in loops, dangling), FIFOs, sockets and device nodes.
// The walk never shows, follows, opens or waits for any of them; the checks look
// at what the kernel saw opened, not only at what was logged.
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "engine/messages.h"
#include "hostile.h"

using namespace Qt::StringLiterals;
using hostile::kInfected;

namespace {

bool makeSocket(const QByteArray& path) {
  const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0)
    return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (std::size_t(path.size()) >= sizeof addr.sun_path)
    return false;
  std::memcpy(addr.sun_path, path.constData(), std::size_t(path.size()));
  const bool ok = ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(s);
  return ok;
}

class LinksAndDevices : public ::testing::TestWithParam<int>, public hostile::ScanFixture {
 protected:
  LinksAndDevices() : hostile::ScanFixture(GetParam()) {}
};

INSTANTIATE_TEST_SUITE_P(Threads, LinksAndDevices, ::testing::Values(1, 3),
                         [](const auto& p) { return "threads" + std::to_string(p.param); });

}  // namespace

TEST_P(LinksAndDevices, AreNeverShownFollowedOpenedOrWaitedFor) {
  QTemporaryDir outsideDir;
  const QByteArray outside = QDir(outsideDir.path()).canonicalPath().toUtf8();
  QFile evil(platform::decodePath(outside + "/evil.asp"));
  ASSERT_TRUE(evil.open(QIODevice::WriteOnly));
  evil.write(kInfected);
  evil.close();

  t.write("real.asp", kInfected);
  t.write("sub/real.htm", kInfected);
  // Links: to a file and a folder outside, to a file and a folder inside, up the
  // tree, to the root of the machine, in a loop, to themselves, to nothing.
  t.symlink(outside + "/evil.asp", "out-file.asp");
  t.symlink(outside, "out-dir.asp");
  t.symlink(t.abs("real.asp"), "in-file.asp");
  t.symlink(t.abs("sub"), "in-dir");
  t.symlink("..", "sub/up.asp");
  t.symlink("/", "root.htm");
  t.symlink("loop-b.asp", "loop-a.asp");
  t.symlink("loop-a.asp", "loop-b.asp");
  t.symlink("self.asp", "self.asp");
  t.symlink("missing.asp", "dangling.asp");
  // A FIFO nobody writes to: opening it to read could wait for ever.
  t.fifo("pipe.asp");
  t.fifo("sub/pipe.htm");
  ASSERT_TRUE(makeSocket(t.abs("sock.asp")));
  // /dev/zero never ends; /dev/null is empty.
  const bool devices = ::mknod(t.abs("zero.asp").constData(), S_IFCHR | 0644, makedev(1, 5)) == 0 &&
                       ::mknod(t.abs("null.htm").constData(), S_IFCHR | 0644, makedev(1, 3)) == 0;
  if (!devices && ::geteuid() == 0)
    ADD_FAILURE() << "root could not make device nodes";

  hostile::OpenWatch watch;
  ASSERT_TRUE(watch.watch(t.rootBytes()));
  ASSERT_TRUE(watch.watch(t.abs("sub")));
  ASSERT_TRUE(watch.watch(outside));

  const hostile::ChildResult r = hostile::runChild(
      [&](int out) {
        scan();
        QStringList shown;
        for (const QString& p : w.shown)
          shown.append(p.mid(t.root().size() + 1));
        hostile::writeAll(out, (logged().join(u'|') + u'\n' + shown.join(u'|')).toUtf8());
        return 0;
      },
      60);
  ASSERT_FALSE(r.timedOut) << "the scan blocked";
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "real.asp|sub/real.htm\nreal.asp|sub/real.htm");

  // What the kernel saw opened: the two folders listed and the two files read.
  QStringList opened = watch.opened();
  opened.sort();
  QStringList expected{t.root(), t.path("real.asp"), t.path("sub"), t.path("sub/real.htm")};
  expected.sort();
  EXPECT_EQ(opened, expected);
}

TEST_P(LinksAndDevices, StartFolderReachedThroughALinkIsWalked) {
  // Only the start may be a link (/var/www -> /srv/www); below it nothing is.
  t.write("site/index.asp", kInfected);
  t.write("site/inner/page.asp", kInfected);
  t.symlink(t.abs("site"), "www");
  t.symlink(t.abs("site/inner"), "site/alias");
  w.Combo1 = t.path("www");
  scan();
  EXPECT_EQ(logged(), (QStringList{u"www/index.asp"_s, u"www/inner/page.asp"_s}));
}

TEST_P(LinksAndDevices, StartFolderThatIsALinkLoopIsRefusedAsAnInvalidPath) {
  t.symlink("loop-b", "loop-a");
  t.symlink("loop-a", "loop-b");
  t.fifo("pipe");
  for (const QByteArray& where : {QByteArray("loop-a"), QByteArray("pipe")}) {
    w.messages.clear();
    w.Combo1 = t.path(where);
    const hostile::ChildResult r = hostile::runChild(
        [&](int out) {
          scan();
          hostile::writeAll(out, w.messages.join(u'|').toUtf8());
          return 0;
        },
        30);
    EXPECT_FALSE(r.timedOut) << where.toStdString();
    EXPECT_EQ(QString::fromUtf8(r.out), msg::kInvalidPath.toString()) << where.toStdString();
  }
}
