// A clean without the scan's identities (a plain log given to tervane-cli, a path
// typed into the window's box) goes through a symbolic link on the path only
// where nobody but root or the user running the clean could have put it: the
// folder holding the link is theirs and writable by no one else. Anything else
// is refused with a message that names the link, and nothing behind it is
// written. With the identities, the identity decides, links or not.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QFile>

#include "clean/failures.h"
#include "clean/rewrite.h"
#include "engine/messages.h"
#include "hostile.h"
#include "inprocess.h"
#include "plainwindowstate.h"
#include "text/textops.h"
#include "window/cleaner.h"

using namespace Qt::StringLiterals;

namespace {

using hostile::kCleaned;
using hostile::kInfected;
const QString kSig = hostile::kSignature;
constexpr uid_t kNobody = 65534;

bool isRoot() {
  return ::geteuid() == 0;
}

// The failure of cleaning `path` (bytes) without an identity; nullopt: cleaned.
std::optional<clean::Failure> cleanPlain(const QByteArray& path) {
  const clean::CleanResult result = clean::cleanFile(path, kSig);
  if (result.ok())
    return std::nullopt;
  return result.failure();
}

// A web root that others may write, as the intruder could: `tree/sub/x.php`
// infected, and an infected `outside/x.php` beside the tree.
class LinkOnPath : public ::testing::Test {
 protected:
  LinkOnPath() {
    t.write("tree/sub/x.php", kInfected);
    t.write("tree/sub/y.php", kInfected);
    t.write("outside/x.php", kInfected);
    t.write("outside/y.php", kInfected);
    t.chmod("tree", 0777);
  }
  // tree/sub becomes a link to ../outside, as the intruder would make it.
  void swapSubForLink() {
    ASSERT_EQ(::rename(t.abs("tree/sub").constData(), t.abs("tree/sub.real").constData()), 0);
    t.symlink("../outside", "tree/sub");
  }
  void expectOutsideUntouched() {
    EXPECT_EQ(t.read("outside/x.php"), kInfected);
    EXPECT_EQ(t.read("outside/y.php"), kInfected);
  }

  TempTree t;
};

TEST_F(LinkOnPath, CommandLineRefusesALinkSwappedInAfterTheScanAndNamesIt) {
  const inprocess::CliRun scanned =
      inprocess::runCli({u"scan"_s, u"--signature"_s, kSig, t.path("tree")});
  ASSERT_EQ(scanned.status, cli::kFound) << scanned.err.toStdString();
  ASSERT_EQ(scanned.out, t.abs("tree/sub/x.php") + '\n' + t.abs("tree/sub/y.php") + '\n');
  t.write("log", scanned.out);
  swapSubForLink();

  const inprocess::CliRun cleaned =
      inprocess::runCli({u"clean"_s, u"--signature"_s, kSig, t.path("log")});
  EXPECT_EQ(cleaned.status, cli::kError);
  expectOutsideUntouched();
  EXPECT_FALSE(cleaned.out.contains(msg::kCleaned.toString().toUtf8()));
  clean::Failure refused;
  refused.reason = clean::Reason::UntrustedLink;
  refused.link = t.abs("tree/sub");
  EXPECT_TRUE(cleaned.err.contains(clean::reasonText(refused).toUtf8()))
      << cleaned.err.toStdString();
  EXPECT_TRUE(clean::reasonText(refused).contains(platform::decodePath(t.abs("tree/sub"))));

  // The preview says the same and reads nothing behind the link.
  const inprocess::CliRun dry =
      inprocess::runCli({u"clean"_s, u"--dry-run"_s, u"--signature"_s, kSig, t.path("log")});
  EXPECT_EQ(dry.status, cli::kError);
  EXPECT_FALSE(dry.out.contains("to remove")) << dry.out.toStdString();
  EXPECT_TRUE(dry.err.contains(t.abs("tree/sub") + " lies in a folder")) << dry.err.toStdString();

  // Once nobody else may write the web root, its links are its owner's: followed.
  t.chmod("tree", 0755);
  const inprocess::CliRun trusted =
      inprocess::runCli({u"clean"_s, u"--signature"_s, kSig, t.path("log")});
  EXPECT_EQ(trusted.status, cli::kOk) << trusted.err.toStdString();
  EXPECT_EQ(t.read("outside/x.php"), kCleaned);
  EXPECT_EQ(t.read("outside/y.php"), kCleaned);
}

TEST_F(LinkOnPath, WindowRefusesATypedPathThroughTheLinkWithOneMessage) {
  swapSubForLink();
  PlainWindowState w;
  Cleaner cleaner(w);
  w.Text3 = kSig;
  const QString crlf = text::kCrLf.toString();
  w.Text1 = t.path("tree/sub/x.php") + crlf + t.path("tree/sub.real/y.php") + crlf;
  cleaner.Command2_Click();
  expectOutsideUntouched();
  EXPECT_EQ(t.read("tree/sub.real/y.php"), kInfected);  // after the failure: not reached
  ASSERT_EQ(w.messages.size(), 1);
  EXPECT_TRUE(w.messages[0].contains(platform::decodePath(t.abs("tree/sub")) + u"”"_s))
      << w.messages[0].toStdString();
  EXPECT_TRUE(w.messages[0].contains(u"符号链接"_s));
  EXPECT_FALSE(w.Text1.contains(msg::kCleaned));
}

TEST_F(LinkOnPath, WithTheScansIdentitiesALinkToTheSameFilePasses) {
  hostile::ScanFixture scan;
  scan.t.write("sub/x.php", kInfected);
  scan.t.chmod("", 0777);
  scan.scan();
  ASSERT_EQ(scan.logged(), QStringList{u"sub/x.php"_s});
  ASSERT_EQ(::rename(scan.t.abs("sub").constData(), scan.t.abs("real").constData()), 0);
  scan.t.symlink("real", "sub");
  Cleaner cleaner(scan.w);
  cleaner.Command2_Click();
  EXPECT_TRUE(scan.w.messages.isEmpty()) << scan.w.messages.join(u"\n"_s).toStdString();
  EXPECT_EQ(scan.t.read("real/x.php"), kCleaned);
}

TEST_F(LinkOnPath, RestoreDoesNotWriteTheOriginalThroughALinkSwappedInAfterTheClean) {
  t.write("log", t.abs("tree/sub/x.php") + '\n');
  ASSERT_EQ(inprocess::runCli({u"clean"_s, u"--signature"_s, kSig, t.path("log")}).status,
            cli::kOk);
  ASSERT_EQ(t.read("tree/sub/x.php"), kCleaned);
  // What the clean left, at a place of the intruder's choosing.
  t.write("outside/x.php", kCleaned);
  swapSubForLink();
  const inprocess::CliRun restored = inprocess::runCli({u"restore"_s});
  EXPECT_EQ(restored.status, cli::kError);
  EXPECT_EQ(t.read("outside/x.php"), kCleaned);
  EXPECT_TRUE(restored.out.contains(platform::decodePath(t.abs("tree/sub")).toUtf8()))
      << restored.out.toStdString();
}

TEST_F(LinkOnPath, ALinkInsideALinksTargetIsJudgedByItsOwnFolder) {
  // base (only ours) -> link "in" to tree (others may write), whose "sub" is a link.
  t.mkdir("base");
  t.symlink("../tree", "base/in");
  swapSubForLink();
  const auto f = cleanPlain(t.abs("base/in/sub/x.php"));
  ASSERT_TRUE(f);
  EXPECT_EQ(f->reason, clean::Reason::UntrustedLink);
  EXPECT_EQ(f->link, t.abs("tree/sub"));  // where it lies, links resolved
  expectOutsideUntouched();
  // Through the trusted link alone, to a real folder, the file is cleaned.
  EXPECT_FALSE(cleanPlain(t.abs("base/in/sub.real/x.php")));
  EXPECT_EQ(t.read("tree/sub.real/x.php"), kCleaned);
}

TEST_F(LinkOnPath, AtMostFortyLinksAreFollowed) {
  t.mkdir("chain");
  t.write("chain/end/x.php", kInfected);
  // l0 -> l1 -> ... -> l40 -> end: 41 links from l0, 40 from l1.
  for (int i = 0; i <= 40; ++i) {
    const QByteArray target = i == 40 ? QByteArray("end") : "l" + QByteArray::number(i + 1);
    t.symlink(target, "chain/l" + QByteArray::number(i));
  }
  const auto tooMany = cleanPlain(t.abs("chain/l0/x.php"));
  ASSERT_TRUE(tooMany);
  EXPECT_EQ(tooMany->error, ELOOP);
  EXPECT_EQ(t.read("chain/end/x.php"), kInfected);
  EXPECT_FALSE(cleanPlain(t.abs("chain/l1/x.php")));
  EXPECT_EQ(t.read("chain/end/x.php"), kCleaned);
}

// Who may have put the link: tried as root, with folders of each kind.
TEST_F(LinkOnPath, AsRootOnlyLinksInRootsOwnClosedFoldersAreFollowed) {
  if (!isRoot())
    GTEST_SKIP() << "needs root";
  t.write("site/x.php", kInfected);
  struct Case {
    QByteArray folder;
    mode_t mode;
    uid_t owner;
    uid_t linkOwner;
    bool followed;
  };
  const Case cases[] = {
      {"var", 0755, 0, 0, true},             // /var/www -> /srv/www, made by root
      {"group", 0775, 0, 0, false},          // the group may write
      {"nobody", 0755, kNobody, 0, false},   // another user's folder
      {"sticky", 01777, 0, kNobody, false},  // /tmp, a user's link
      {"sticky2", 01777, 0, 0, false},       // /tmp, root's link: could have been moved in
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder.toStdString());
    t.mkdir(c.folder);
    t.symlink("../site", c.folder + "/www");
    ASSERT_EQ(::lchown(t.abs(c.folder + "/www").constData(), c.linkOwner, c.linkOwner), 0);
    ASSERT_EQ(::chown(t.abs(c.folder).constData(), c.owner, c.owner), 0);
    t.chmod(c.folder, c.mode);
    t.write("site/x.php", kInfected);
    const auto f = cleanPlain(t.abs(c.folder + "/www/x.php"));
    if (c.followed) {
      EXPECT_FALSE(f) << clean::reasonText(*f).toStdString();
      EXPECT_EQ(t.read("site/x.php"), kCleaned);
    } else {
      ASSERT_TRUE(f);
      EXPECT_EQ(f->reason, clean::Reason::UntrustedLink);
      EXPECT_EQ(f->link, t.abs(c.folder + "/www"));
      EXPECT_EQ(t.read("site/x.php"), kInfected);
    }
  }
}

// The same as a plain user: their own closed folders and root's are trusted.
TEST_F(LinkOnPath, AsAUserLinksInTheirOwnOrRootsClosedFoldersAreFollowed) {
  t.chmod("", 0755);
  for (const QByteArray& dir : {QByteArray("mine"), QByteArray("open"), QByteArray("rootdir")}) {
    t.mkdir(dir);
    t.write(dir + "/site/x.php", kInfected);
  }
  t.mkdir("tmp");
  t.chmod("tmp", 01777);
  t.symlink("site", "rootdir/www");
  if (isRoot()) {
    for (const QByteArray& dir : {QByteArray("mine"), QByteArray("open")}) {
      ASSERT_EQ(::chown(t.abs(dir).constData(), kNobody, kNobody), 0);
      ASSERT_EQ(::chown(t.abs(dir + "/site").constData(), kNobody, kNobody), 0);
      ASSERT_EQ(::chown(t.abs(dir + "/site/x.php").constData(), kNobody, kNobody), 0);
    }
    // The link's folder stays root's; the file's folder is the user's.
    ASSERT_EQ(::chown(t.abs("rootdir/site").constData(), kNobody, kNobody), 0);
    ASSERT_EQ(::chown(t.abs("rootdir/site/x.php").constData(), kNobody, kNobody), 0);
  }
  t.chmod("open", 0777);
  const QByteArray root = t.rootBytes();
  // 0: as expected; otherwise the number of the first check that went wrong.
  const int result = runUnprivileged([&root]() -> int {
    const QByteArray mine = root + "/mine";
    const QByteArray open = root + "/open";
    if (::symlink("site", (mine + "/www").constData()) != 0 ||
        ::symlink("site", (open + "/www").constData()) != 0 ||
        ::symlink("../mine/site", (root + "/tmp/www").constData()) != 0)
      return 10;
    if (cleanPlain(mine + "/www/x.php"))
      return 1;
    if (cleanPlain(root + "/rootdir/www/x.php"))
      return 2;
    const auto inOpen = cleanPlain(open + "/www/x.php");
    if (!inOpen || inOpen->reason != clean::Reason::UntrustedLink || inOpen->link != open + "/www")
      return 3;
    const auto inTmp = cleanPlain(root + "/tmp/www/x.php");
    if (!inTmp || inTmp->reason != clean::Reason::UntrustedLink)
      return 4;
    return 0;
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(t.read("mine/site/x.php"), kCleaned);
  EXPECT_EQ(t.read("rootdir/site/x.php"), kCleaned);
  EXPECT_EQ(t.read("open/site/x.php"), kInfected);
}

}  // namespace
