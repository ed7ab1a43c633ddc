// The pool's read-ahead: hints for files ahead of the matchers never change the
// answers or their order, and keep the descriptors bounded, also when the
// process may open only a few.
#include <fcntl.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <QString>

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/fs.h"
#include "scan/matchpool.h"
#include "testsupport.h"

namespace {

const QByteArray kInfected = "abc<iframe src=x width=0>\r\n";

struct Tree {
  TempTree t;
  std::vector<QByteArray> dirs;  // relative
  std::vector<std::vector<QByteArray>> names;
  std::vector<bool> infected;  // in submission order
};

// Folders of 1 to 60 files, some large, a third infected.
void makeTree(Tree& tree, int folders) {
  int k = 0;
  for (int d = 0; d < folders; ++d) {
    const QByteArray dir = "d" + QByteArray::number(d);
    tree.dirs.push_back(dir);
    tree.names.emplace_back();
    for (int f = 0; f < 1 + (d * 13) % 60; ++f, ++k) {
      const QByteArray name = "f" + QByteArray::number(f) + ".php";
      const bool bad = k % 3 == 1;
      QByteArray content = k % 50 == 0 ? QByteArray(300 * 1024, 'z') : QByteArray("hello\r\n");
      if (bad)
        content += kInfected;
      tree.t.write(dir + '/' + name, content);
      tree.names.back().push_back(name);
      tree.infected.push_back(bad);
    }
  }
}

// Submits every file of the tree, each by its open folder, and returns the
// answers in the order they were handed back; `peakFds` gets the most
// descriptors seen open while results came back.
std::vector<int> scanPool(const Tree& tree, int threads, bool readAhead, int* peakFds) {
  const scan::SignatureMatcher matcher(QStringLiteral("<iframe src=x width=0>\r\n"));
  std::vector<int> answers;
  int peak = 0;
  {
    scan::OrderedMatchPool pool(matcher, threads, [&](const scan::FileOutcome& o) {
      answers.push_back(int(o.result));
      peak = std::max(peak, openDescriptors());
    });
    if (readAhead)
      pool.readAheadAlways();
    for (std::size_t d = 0; d < tree.dirs.size(); ++d) {
      const std::shared_ptr<const platform::OpenDirectory> dir =
          platform::openDirectory(tree.t.path(tree.dirs[d]));
      EXPECT_GE(dir->fd(), 0);
      for (const QByteArray& name : tree.names[d])
        pool.submit(tree.t.path(tree.dirs[d] + '/' + name), 1, dir, name);
    }
    pool.finish();
  }
  if (peakFds)
    *peakFds = peak;
  return answers;
}

std::vector<int> expected(const Tree& tree) {
  std::vector<int> out;
  for (bool bad : tree.infected)
    out.push_back(int(bad ? scan::MatchResult::Match : scan::MatchResult::NoMatch));
  return out;
}

}  // namespace

TEST(PoolReadAhead, SameAnswersInSubmissionOrder) {
  Tree tree;
  makeTree(tree, 60);
  const std::vector<int> want = expected(tree);
  ASSERT_GT(want.size(), 1500u);
  for (int threads : {1, 2, 5}) {
    for (int round = 0; round < 1; ++round) {
      EXPECT_EQ(scanPool(tree, threads, true, nullptr), want) << threads;
      EXPECT_EQ(scanPool(tree, threads, false, nullptr), want) << threads;
    }
  }
}

TEST(PoolReadAhead, DescriptorsStayBoundedAndNoFileIsMissedWhenFewMayBeOpened) {
  Tree tree;
  makeTree(tree, 300);
  const std::vector<int> want = expected(tree);
  const int before = openDescriptors();
  int peak = 0;
  EXPECT_EQ(scanPool(tree, 4, true, &peak), want);
  // The folders held for queued files (a few hundred at most), the descriptors
  // handed to queued files, one per matcher and one per prefetch thread.
  EXPECT_LE(peak - before, 256 + int(scan::OrderedMatchPool::kHeldFiles) + 4 +
                               scan::OrderedMatchPool::kPrefetchThreads + 8);

  // Room for only a few more than are open: the prefetch threads must leave the
  // matchers what they need, or skip their hints.
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
  rlimit tight = old;
  tight.rlim_cur = rlim_t(openDescriptors() + 12);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  const std::vector<int> got = scanPool(tree, 4, true, &peak);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &old), 0);
  EXPECT_EQ(got, want);
}
