// The tree changes under a running scan: entries vanish, lose their permissions
// or are swapped for something else between the listing and the read. The scan
// goes on, logs only files it found where it listed them, follows no link and
// opens nothing but regular files. Each case runs with the walk reading on one
// thread and on three.
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <cstddef>
#include <thread>

#include "engine/messages.h"
#include "hostile.h"

using namespace Qt::StringLiterals;
using hostile::kInfected;

namespace {

class Races : public ::testing::TestWithParam<int>, public hostile::ScanFixture {
 protected:
  Races() : hostile::ScanFixture(GetParam()) {
    outsideRoot_ = QDir(outside_.path()).canonicalPath().toUtf8();
    ::chmod(outsideRoot_.constData(), 0755);
  }
  // A folder outside the scanned tree, holding an infected page.
  QByteArray outside(const QByteArray& rel = {}) const {
    return rel.isEmpty() ? outsideRoot_ : outsideRoot_ + '/' + rel;
  }
  void writeOutside(const QByteArray& rel, const QByteArray& content) const {
    const qsizetype slash = rel.lastIndexOf('/');
    if (slash > 0)
      QDir().mkpath(platform::decodePath(outside(rel.left(slash))));
    QFile f(platform::decodePath(outside(rel)));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content);
  }
  // Nothing shown in the current-file box lies outside the tree or below `rel`.
  void expectNothingShownBelow(const QByteArray& rel) const {
    for (const QString& p : w.shown) {
      EXPECT_TRUE(p.startsWith(t.root() + u'/')) << p.toStdString();
      EXPECT_FALSE(p.startsWith(t.path(rel) + u'/')) << p.toStdString();
    }
  }

 private:
  QTemporaryDir outside_;
  QByteArray outsideRoot_;
};

INSTANTIATE_TEST_SUITE_P(Threads, Races, ::testing::Values(1, 3),
                         [](const auto& p) { return "threads" + std::to_string(p.param); });

void rmTree(const QByteArray& path) {
  hostile::removeDeep(path);
}

// Makes openat2 fail as on kernels before 5.6 or under container filters that
// do not know it, so that the walk must open folders one part at a time.
bool withoutOpenat2() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog prog{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

}  // namespace

TEST_P(Races, FileThatVanishesAfterTheListingIsPassedOver) {
  t.write("a.asp", kInfected);
  t.write("b.asp", kInfected);
  t.write("c.asp", kInfected);
  atYield(1, [&] { ::unlink(t.abs("b.asp").constData()); });  // right after the listing
  scan();
  EXPECT_EQ(logged(), (QStringList{u"a.asp"_s, u"c.asp"_s}));
  EXPECT_EQ(w.Text2, t.path("c.asp"));
  EXPECT_TRUE(w.messages.isEmpty());
}

TEST_P(Races, FolderThatVanishesAfterTheListingIsPassedOver) {
  t.write("a.asp", kInfected);
  t.write("sub/x.asp", kInfected);
  t.write("sub/deeper/y.asp", kInfected);
  t.write("z/w.asp", kInfected);
  atYield(1, [&] { rmTree(t.abs("sub")); });
  scan();
  EXPECT_EQ(logged(), (QStringList{u"a.asp"_s, u"z/w.asp"_s}));
  expectNothingShownBelow("sub");
}

TEST_P(Races, FileAndFolderThatLosePermissionsArePassedOver) {
  // Root reads whatever the mode says, so the scan runs as an ordinary user.
  t.write("a.asp", kInfected);
  t.write("b.asp", kInfected);
  t.write("c.asp", kInfected);
  t.write("sub/x.asp", kInfected);
  t.write("z/w.asp", kInfected);
  for (const char* p : {"", "/a.asp", "/b.asp", "/c.asp", "/sub", "/sub/x.asp", "/z", "/z/w.asp"})
    ASSERT_EQ(::chown((t.rootBytes() + p).constData(), 65534, 65534), 0);

  auto scanAsUser = [&](bool revoke) {
    return hostile::runChild(
        [&](int out) {
          if (revoke) {
            atYield(1, [&] {
              ::chmod(t.abs("b.asp").constData(), 0);
              ::chmod(t.abs("sub").constData(), 0);
            });
          }
          scan();
          hostile::writeAll(out, logged().join(u'|').toUtf8());
          return 0;
        },
        60, /*unprivileged=*/true);
  };
  const hostile::ChildResult control = scanAsUser(false);
  ASSERT_EQ(control.exitCode, 0);
  EXPECT_EQ(control.out, "a.asp|b.asp|c.asp|sub/x.asp|z/w.asp");
  const hostile::ChildResult revoked = scanAsUser(true);
  ASSERT_EQ(revoked.exitCode, 0);
  EXPECT_EQ(revoked.out, "a.asp|c.asp|z/w.asp");
}

TEST_P(Races, FolderReplacedByAFileIsNeitherWalkedNorRead) {
  t.write("a.asp", kInfected);
  t.write("x.asp/in.asp", kInfected);
  atYield(1, [&] {
    rmTree(t.abs("x.asp"));
    t.write("x.asp", kInfected);
  });
  scan();
  // x.asp was listed as a folder: the file now there was not listed, so not read.
  EXPECT_EQ(logged(), QStringList{u"a.asp"_s});
  expectNothingShownBelow("x.asp");
}

TEST_P(Races, FileReplacedByAFolderIsNotRead) {
  t.write("f.asp", "clean");
  atYield(1, [&] {
    ::unlink(t.abs("f.asp").constData());
    t.write("f.asp/inner.asp", kInfected);
  });
  scan();
  EXPECT_EQ(w.Text1, msg::kNoMatch.toString());
  EXPECT_EQ(w.shown, QStringList{t.path("f.asp")});
}

TEST_P(Races, FolderReplacedByALinkIsNotFollowed) {
  t.write("a.asp", kInfected);
  t.write("sub/clean.asp", "clean");
  writeOutside("evil.asp", kInfected);
  hostile::OpenWatch watch;
  ASSERT_TRUE(watch.watch(outside()));
  atYield(1, [&] {
    rmTree(t.abs("sub"));
    t.symlink(outside(), "sub");
  });
  scan();
  EXPECT_EQ(logged(), QStringList{u"a.asp"_s});
  expectNothingShownBelow("sub");
  EXPECT_EQ(watch.opened(), QStringList());
}

TEST_P(Races, FolderOnThePathReplacedByALinkIsNotFollowed) {
  // a/ is listed with its subfolder b/ pending; then a/ itself becomes a link to a
  // folder that holds another b/. Opening a/b/ by its path would walk that one.
  t.write("a/0.htm", "clean");
  t.write("a/b/page.asp", "clean");
  t.write("a/z.htm", "clean");
  writeOutside("b/evil.asp", kInfected);
  QTemporaryDir aside;
  hostile::OpenWatch watch;
  ASSERT_TRUE(watch.watch(outside()));
  ASSERT_TRUE(watch.watch(outside("b")));
  // a/ lists 0.htm, b, z.htm: the swap comes right after 0.htm.
  afterShown("a/0.htm", [&] {
    ASSERT_EQ(::rename(t.abs("a").constData(), (aside.path().toUtf8() + "/a").constData()), 0);
    t.symlink(outside(), "a");
  });
  scan();
  EXPECT_EQ(w.Text1, msg::kNoMatch.toString());
  if (GetParam() == 1) {
    expectNothingShownBelow("a/b");
  } else {
    // With worker threads the walk lists ahead of its yields: it opened the real
    // a/b/ before the swap, and only that folder's own file shows.
    for (const QString& p : w.shown)
      EXPECT_TRUE(!p.startsWith(t.path("a/b/")) || p == t.path("a/b/page.asp")) << p.toStdString();
  }
  EXPECT_EQ(watch.opened(), QStringList());
}

TEST_P(Races, WithoutOpenat2FoldersAreOpenedPartByPartAndNoLinkIsFollowed) {
  t.write("a/0.htm", "clean");
  t.write("a/b/c/page.asp", kInfected);
  t.write("a/z.htm", "clean");
  writeOutside("b/c/evil.asp", kInfected);
  auto scanWithoutOpenat2 = [&](bool swap) {
    QTemporaryDir aside;
    return hostile::runChild(
        [&](int out) {
          if (!withoutOpenat2())
            return 3;
          if (swap) {
            afterShown("a/0.htm", [&] {
              ::rename(t.abs("a").constData(), (aside.path().toUtf8() + "/a").constData());
              t.symlink(outside(), "a");
            });
          }
          scan();
          hostile::writeAll(out, logged().join(u'|').toUtf8());
          return 0;
        },
        60);
  };
  const hostile::ChildResult plain = scanWithoutOpenat2(false);
  ASSERT_EQ(plain.exitCode, 0);
  EXPECT_EQ(plain.out, "a/b/c/page.asp");

  hostile::OpenWatch watch;
  ASSERT_TRUE(watch.watch(outside()));
  ASSERT_TRUE(watch.watch(outside("b")));
  const hostile::ChildResult swapped = scanWithoutOpenat2(true);
  ASSERT_EQ(swapped.exitCode, 0);
  // With worker threads the walk lists ahead of its yields: the real a/b/c/ was
  // opened, and its file read, before the swap.
  EXPECT_EQ(swapped.out, GetParam() == 1 ? QByteArray() : QByteArray("a/b/c/page.asp"));
  EXPECT_EQ(watch.opened(), QStringList());
}

TEST_P(Races, FileReplacedByALinkIsNotFollowed) {
  t.write("a.asp", "clean");
  t.write("b.asp", "clean");
  writeOutside("evil.asp", kInfected);
  hostile::OpenWatch watch;
  ASSERT_TRUE(watch.watch(outside()));
  atYield(1, [&] {
    ::unlink(t.abs("b.asp").constData());
    t.symlink(outside("evil.asp"), "b.asp");
  });
  scan();
  EXPECT_EQ(w.Text1, msg::kNoMatch.toString());
  EXPECT_EQ(watch.opened(), QStringList());
}

TEST_P(Races, FileReplacedByAFifoIsNeitherReadNorWaitedFor) {
  t.write("a.asp", kInfected);
  t.write("b.asp", kInfected);
  t.write("c.asp", kInfected);
  const hostile::ChildResult r = hostile::runChild(
      [&](int out) {
        atYield(1, [&] {
          ::unlink(t.abs("b.asp").constData());
          t.fifo("b.asp");
        });
        scan();
        hostile::writeAll(out, logged().join(u'|').toUtf8());
        return 0;
      },
      30);
  EXPECT_FALSE(r.timedOut) << "the scan blocked on a FIFO";
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "a.asp|c.asp");
}

TEST_P(Races, FileReplacedByADeviceIsNotRead) {
  t.write("a.asp", kInfected);
  t.write("b.asp", kInfected);
  const hostile::ChildResult r = hostile::runChild(
      [&](int out) {
        atYield(1, [&] {
          ::unlink(t.abs("b.asp").constData());
          // /dev/zero: reading it would never end.
          if (::mknod(t.abs("b.asp").constData(), S_IFCHR | 0644, makedev(1, 5)) != 0)
            ::_exit(77);
        });
        scan();
        hostile::writeAll(out, logged().join(u'|').toUtf8());
        return 0;
      },
      30);
  if (r.exitCode == 77)
    GTEST_SKIP() << "device nodes cannot be made here (mknod refused)";
  EXPECT_FALSE(r.timedOut) << "the scan kept reading a device";
  EXPECT_EQ(r.out, "a.asp");
}

TEST_P(Races, FileThatGrowsAndShrinksWhileReadIsStillTested) {
  // The signature sits at the start, so whatever length the file has when the
  // reader gets there, it holds the signature: every scan must log it.
  QByteArray content = kInfected;
  content.append(QByteArray(4 * 1024 * 1024, 'a'));
  t.write("big.asp", content);
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    const int fd = ::open(t.abs("big.asp").constData(), O_WRONLY | O_CLOEXEC);
    for (int i = 0; !stop; ++i) {
      if (::ftruncate(fd, i % 2 ? 200 : 16 * 1024 * 1024) != 0)
        break;
    }
    ::close(fd);
  });
  for (int i = 0; i < 30; ++i) {
    scan();
    ASSERT_EQ(logged(), QStringList{u"big.asp"_s}) << "scan " << i;
  }
  stop = true;
  churn.join();
}

TEST_P(Races, FileThatKeepsGrowingDoesNotHoldUpTheScan) {
  t.write("a.asp", "clean");
  t.write("grow.asp", "start");
  t.write("z.asp", kInfected);
  // The writer is a process of its own: no thread may run while the scan forks.
  const pid_t writer = ::fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    const int fd = ::open(t.abs("grow.asp").constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
    const QByteArray block(1024 * 1024, 'x');
    for (;;) {
      if (::write(fd, block.constData(), std::size_t(block.size())) < 0)
        ::_exit(1);
      // Keeps the file from filling the disk while staying ahead of any reader
      // that would read to its end.
      struct stat st;
      if (::fstat(fd, &st) == 0 && st.st_size > 256 * 1024 * 1024 && ::ftruncate(fd, 0) != 0)
        ::_exit(1);
    }
  }
  const hostile::ChildResult r = hostile::runChild(
      [&](int out) {
        scan();
        hostile::writeAll(out, logged().join(u'|').toUtf8());
        return 0;
      },
      60);
  ::kill(writer, SIGKILL);
  ::waitpid(writer, nullptr, 0);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.out, "z.asp");
}
