// A folder of the tree swapped, after its parent's listing, for a relative link
// to the very same folder under another name. The folder the link leads to is
// the one the listing found, so only the rule that no link is followed on the
// way keeps the walk out; on kernels with openat2 that rule is the kernel's.
#include <linux/openat2.h>
#include <sys/syscall.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>

#include "hostile.h"

using namespace Qt::StringLiterals;
using hostile::kInfected;

namespace {

bool kernelHasOpenat2() {
  open_how how{};
  how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH;
  const long fd = ::syscall(SYS_openat2, AT_FDCWD, ".", &how, sizeof how);
  if (fd >= 0)
    ::close(int(fd));
  return fd >= 0;
}

class InnerLinks : public ::testing::Test, public hostile::ScanFixture {
 protected:
  void SetUp() override {
    if (!kernelHasOpenat2())
      GTEST_SKIP() << "no openat2 here: the walk opens folders one part at a time";
  }
  // Moves `rel` to `to` and leaves in its place a link to `to`, relative.
  void swapForLink(const QByteArray& rel, const QByteArray& to, const QByteArray& target) {
    ASSERT_EQ(std::rename(t.abs(rel).constData(), t.abs(to).constData()), 0);
    t.symlink(target, rel);
  }
  void expectNothingShownBelow(const QByteArray& rel) const {
    for (const QString& p : w.shown)
      EXPECT_FALSE(p.startsWith(t.path(rel) + u'/')) << p.toStdString();
  }
};

}  // namespace

TEST_F(InnerLinks, LastPartOfThePath) {
  t.write("a.asp", kInfected);
  t.write("d/x.asp", kInfected);
  atYield(1, [&] { swapForLink("d", "e", "e"); });  // right after the root's listing
  scan();
  EXPECT_EQ(logged(), QStringList{u"a.asp"_s});
  expectNothingShownBelow("d");
}

TEST_F(InnerLinks, EarlierPartOfThePath) {
  t.write("p/f.txt", "x");
  t.write("p/q/x.asp", kInfected);
  // After p's listing found q, p becomes a link to itself under another name.
  afterShown("p/f.txt", [&] { swapForLink("p", "p2", "p2"); });
  scan();
  EXPECT_TRUE(logged().isEmpty()) << logged().join(u' ').toStdString();
  expectNothingShownBelow("p/q");
}
