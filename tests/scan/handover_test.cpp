// A descriptor opened ahead of the matcher and handed to it: it is read only
// while the name still leads to that very file; a file swapped, linked or removed
// in between is opened again by name, so the answers are those a one-thread scan
// gives at the time of the match. The descriptors held stay bounded.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QString>

#include <algorithm>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "platform/fd.h"
#include "platform/fs.h"
#include "scan/matchpool.h"
#include "testsupport.h"

namespace {

const QString kSignature = QStringLiteral("<iframe src=x width=0>\r\n");
const QByteArray kInfected = "abc<iframe src=x width=0>\r\ndef";
const QByteArray kClean = "abc<iframe src=y width=0>\r\ndef";

bool isOpen(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

struct Handed {
  platform::UniqueFd dir;
  platform::UniqueFd fd;
  platform::FileIdentity id;
};

// Opens `name` in the tree's root the way the prefetch threads do.
Handed openAhead(const TempTree& t, const QByteArray& name) {
  Handed h;
  h.dir.reset(::open(t.rootBytes().constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  h.fd.reset(
      ::openat(h.dir.get(), name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat st {};
  if (h.fd)
    ::fstat(h.fd.get(), &st);
  h.id = platform::identityOf(st);
  return h;
}

}  // namespace

TEST(HandedDescriptor, ReadWhileTheNameStillLeadsToItsFile) {
  TempTree t;
  const scan::SignatureMatcher matcher(kSignature);
  t.write("bad.php", kInfected);
  t.write("good.php", kClean);
  for (const auto& [name, want] : {std::pair{QByteArray("bad.php"), scan::MatchResult::Match},
                                   std::pair{QByteArray("good.php"), scan::MatchResult::NoMatch}}) {
    Handed h = openAhead(t, name);
    ASSERT_TRUE(h.fd);
    const int raw = h.fd.get();
    platform::FileIdentity id;
    scan::ReadStats stats;
    const std::optional<scan::MatchResult> r =
        matcher.matchIfStillAt(h.dir.get(), name, std::move(h.fd), h.id, &id, &stats);
    ASSERT_TRUE(r.has_value()) << name.constData();
    EXPECT_EQ(*r, want) << name.constData();
    EXPECT_EQ(id, h.id);
    EXPECT_EQ(stats.bytes, std::uint64_t(kInfected.size()));
    EXPECT_FALSE(isOpen(raw)) << "the handed descriptor is closed once read";
  }
}

TEST(HandedDescriptor, NotReadOnceTheNameLeadsElsewhere) {
  TempTree t;
  const scan::SignatureMatcher matcher(kSignature);
  // Each way the name can stop leading to the file opened ahead.
  const std::vector<std::pair<const char*, void (*)(const TempTree&)>> changes = {
      {"replaced by rename",
       [](const TempTree& tt) {
         tt.write("other", kClean);
         ASSERT_EQ(::rename(tt.abs("other").constData(), tt.abs("f.php").constData()), 0);
       }},
      {"removed", [](const TempTree& tt) { ASSERT_EQ(::unlink(tt.abs("f.php").constData()), 0); }},
      {"now a link to the same file",
       [](const TempTree& tt) {
         ASSERT_EQ(::rename(tt.abs("f.php").constData(), tt.abs("real").constData()), 0);
         ASSERT_EQ(::symlink("real", tt.abs("f.php").constData()), 0);
       }},
      {"now a folder",
       [](const TempTree& tt) {
         ASSERT_EQ(::unlink(tt.abs("f.php").constData()), 0);
         tt.mkdir("f.php");
       }},
  };
  for (const auto& [what, change] : changes) {
    ::unlink(t.abs("real").constData());
    ::unlink(t.abs("f.php").constData());
    ::rmdir(t.abs("f.php").constData());
    t.write("f.php", kInfected);
    Handed h = openAhead(t, "f.php");
    ASSERT_TRUE(h.fd) << what;
    const int raw = h.fd.get();
    change(t);
    platform::FileIdentity id;
    const std::optional<scan::MatchResult> r =
        matcher.matchIfStillAt(h.dir.get(), "f.php", std::move(h.fd), h.id, &id, nullptr);
    EXPECT_FALSE(r.has_value()) << what;
    EXPECT_FALSE(isOpen(raw)) << what;
  }
}

namespace {

struct SwapTree {
  TempTree t;
  std::vector<QByteArray> dirs;
  std::vector<std::vector<QByteArray>> names;
  std::vector<bool> infected;  // in submission order, before any swap
};

void makeSwapTree(SwapTree& tree, int folders, int perFolder) {
  for (int d = 0; d < folders; ++d) {
    const QByteArray dir = "d" + QByteArray::number(d);
    tree.dirs.push_back(dir);
    tree.names.emplace_back();
    for (int f = 0; f < perFolder; ++f) {
      const QByteArray name = "f" + QByteArray::number(f) + ".php";
      const bool bad = (d + f) % 2 == 0;
      tree.t.write(dir + '/' + name, bad ? kInfected : kClean);
      // The content swapped in: the other answer.
      tree.t.write(dir + "/swap-" + name, bad ? kClean : kInfected);
      tree.names.back().push_back(name);
      tree.infected.push_back(bad);
    }
  }
}

}  // namespace

// Files renamed over while their descriptor waits in the queue: each answer is
// the new file's, as a one-thread scan at the time of the match gives it.
TEST(HandedDescriptor, PoolAnswersForFilesSwappedAfterTheirDescriptorWasHanded) {
  SwapTree tree;
  makeSwapTree(tree, 16, 50);
  const scan::SignatureMatcher matcher(kSignature);
  std::set<QByteArray> swapped;  // "dir/name"
  // Whether a matcher takes a file before its descriptor is handed over depends
  // on the scheduling; over all the rounds some are handed over.
  std::size_t totalSwapped = 0;
  for (int threads : {1, 2, 3}) {
    // Put back the files swapped in the last round.
    for (const QByteArray& rel : swapped) {
      const qsizetype slash = rel.indexOf('/');
      const bool bad = tree.t.read(rel) == kClean;
      tree.t.write(rel, bad ? kInfected : kClean);
      tree.t.write(rel.left(slash + 1) + "swap-" + rel.mid(slash + 1), bad ? kClean : kInfected);
    }
    swapped.clear();
    std::mutex swappedLock;
    int handed = 0;
    std::vector<QByteArray> order;
    std::vector<int> answers;
    const int before = openDescriptors();
    int peak = 0;
    {
      scan::OrderedMatchPool pool(matcher, threads, [&](const scan::FileOutcome& o) {
        answers.push_back(int(o.result));
        peak = std::max(peak, openDescriptors());
      });
      // Every other handed file is swapped while its descriptor waits.
      pool.onHandedOver([&](int dirFd, const QByteArray& name) {
        std::lock_guard lock(swappedLock);
        char dirPath[64];
        std::snprintf(dirPath, sizeof dirPath, "/proc/self/fd/%d", dirFd);
        char target[4096];
        const ssize_t n = ::readlink(dirPath, target, sizeof target - 1);
        ASSERT_GT(n, 0);
        const QByteArray dir = QByteArray(target, n).mid(tree.t.rootBytes().size() + 1);
        if (++handed % 2 == 0)
          return;
        ASSERT_EQ(::renameat(dirFd, ("swap-" + name).constData(), dirFd, name.constData()), 0);
        swapped.insert(dir + '/' + name);
      });
      pool.readAheadAlways();
      for (std::size_t d = 0; d < tree.dirs.size(); ++d) {
        const std::shared_ptr<const platform::OpenDirectory> dir =
            platform::openDirectory(tree.t.path(tree.dirs[d]));
        ASSERT_GE(dir->fd(), 0);
        for (const QByteArray& name : tree.names[d]) {
          order.push_back(tree.dirs[d] + '/' + name);
          pool.submit(tree.t.path(order.back()), 1, dir, name);
        }
      }
      pool.finish();
    }
    std::vector<int> want;
    for (std::size_t i = 0; i < order.size(); ++i) {
      const bool bad = tree.infected[i] != (swapped.count(order[i]) > 0);
      want.push_back(int(bad ? scan::MatchResult::Match : scan::MatchResult::NoMatch));
    }
    totalSwapped += swapped.size();
    EXPECT_EQ(answers, want) << threads;
    // Folders held for queued files, descriptors handed to them, one per
    // matcher and one per prefetch thread.
    EXPECT_LE(peak - before, 256 + int(scan::OrderedMatchPool::kHeldFiles) + threads +
                                 scan::OrderedMatchPool::kPrefetchThreads + 8);
  }
  EXPECT_GT(totalSwapped, 0u) << "no descriptor was handed over";
}
