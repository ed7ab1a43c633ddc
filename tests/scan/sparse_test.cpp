// Sparse files: the holes are not read, and the answers are those of reading
// every zero, whatever lies around a hole (a signature's start or end, a GBK
// lead byte, a UTF-8 sequence cut off) and whatever the signature (one of NUL
// characters included).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>

#include "platform/fd.h"
#include "scan/filematch.h"
#include "testsupport.h"
#include "text/encoding.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;
using scan::MatchResult;
using scan::SignatureMatcher;

namespace {

constexpr off_t kBlock = 4096;

// A file of `size` bytes holding `pieces` at their offsets and holes elsewhere
// (where the file system makes them), and the same content in memory.
struct SparseFile {
  QByteArray path;
  QByteArray content;
  bool hasHoles = false;
};

SparseFile makeSparse(const TempTree& t, const QByteArray& name, off_t size,
                      const std::vector<std::pair<off_t, QByteArray>>& pieces) {
  SparseFile f{t.abs(name), {}, false};
  const platform::UniqueFd fd(
      ::open(f.path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  EXPECT_TRUE(fd.ok());
  EXPECT_EQ(::ftruncate(fd.get(), size), 0);
  if (size < (qsizetype(1) << 28))
    f.content = QByteArray(qsizetype(size), '\0');
  for (const auto& [at, bytes] : pieces) {
    EXPECT_EQ(::pwrite(fd.get(), bytes.constData(), std::size_t(bytes.size()), at), bytes.size());
    if (!f.content.isEmpty() || size == 0)
      f.content.replace(qsizetype(at), bytes.size(), bytes);
  }
  struct stat st;
  EXPECT_EQ(::fstat(fd.get(), &st), 0);
  f.hasHoles = st.st_blocks * 512 < st.st_size;
  return f;
}

QString sig(const QByteArray& utf8) {
  return text::lowerCase(QString::fromUtf8(utf8));
}

}  // namespace

// Random layouts of data and holes against the same bytes searched in memory,
// for each way of reading content.
TEST(SparseFiles, SameAnswersAsReadingEveryZero) {
  TempTree t;
  const QString signatures[] = {
      sig("<iframe src=x>"),           QString(16, QChar(0)), sig("x") + QString(3, QChar(0)),
      QString(3, QChar(0)) + sig("y"), sig("中文"),           QString(2, QChar(0)) + sig("中"),
  };
  // Bytes that sit well at a hole's edge: parts of the signatures, GBK lead
  // bytes, UTF-8 sequences cut off, bytes that are never UTF-8.
  const QByteArray edges[] = {
      "<iframe src=x>",
      "<ifr",
      "e src=x>",
      "a",
      "b",
      "x",
      "y",
      "\x81",
      "\xD6",
      "\xD6\xD0",
      "\xE4\xB8",
      "\xE4",
      "\xAD\xE6\x96\x87",
      "\xFF",
      "\xE4\xB8\xAD\xE6\x96\x87",
      "\xD6\xD0\xCE\xC4",
      "plain text ",
  };
  std::mt19937 rng(2111);
  int sparse = 0;
  for (int trial = 0; trial < 80; ++trial) {
    const int blocks = 1 + int(rng() % 48);
    const off_t size = blocks * kBlock - off_t(rng() % 2 ? rng() % kBlock : 0);
    std::vector<std::pair<off_t, QByteArray>> pieces;
    const int count = int(rng() % 6);
    for (int k = 0; k < count; ++k) {
      QByteArray bytes;
      const int parts = 1 + int(rng() % 3);
      for (int p = 0; p < parts; ++p)
        bytes += edges[rng() % std::size(edges)];
      // Next to a block's edge, where holes begin and end, or anywhere.
      const off_t block = off_t(rng() % std::uint32_t(blocks)) * kBlock;
      off_t at = rng() % 3 == 0   ? block - bytes.size()
                 : rng() % 2 == 0 ? block
                                  : off_t(rng() % std::uint32_t(size));
      at = std::clamp<off_t>(at, 0, std::max<off_t>(0, size - bytes.size()));
      pieces.emplace_back(at, bytes);
    }
    const SparseFile f = makeSparse(t, "f" + QByteArray::number(trial), size, pieces);
    sparse += f.hasHoles ? 1 : 0;
    for (const QString& signature : signatures) {
      for (const text::Encoding e :
           {text::Encoding::Auto, text::Encoding::Gbk, text::Encoding::Utf8}) {
        const SignatureMatcher m(signature, e);
        const bool expected = m.matchBytes(f.content);
        if (e == text::Encoding::Auto) {
          ASSERT_EQ(expected, text::lowerCase(text::decodeContent(f.content)).contains(signature));
        }
        scan::ReadStats stats;
        const MatchResult got = m.matchFile(f.path, nullptr, &stats);
        ASSERT_EQ(got, expected ? MatchResult::Match : MatchResult::NoMatch)
            << "trial " << trial << ", signature of " << signature.size()
            << " characters, encoding " << int(e);
        ASSERT_LE(stats.bytes, std::uint64_t(size));
      }
    }
  }
  if (sparse == 0)
    GTEST_SKIP() << "SKIP: this file system made no holes; answers compared all the same";
}

// Signatures longer than a hole, and than the read buffer, that begin before a
// hole and end after it. (A signature that ends in a long run of NUL characters
// costs the search that run's length at every zero: such ones stay short here.)
TEST(SparseFiles, LongSignaturesAcrossAHole) {
  TempTree t;
  const off_t zeros = 39 * kBlock;
  const SparseFile f =
      makeSparse(t, "long", 64 * kBlock, {{kBlock - 1, "a"}, {kBlock + zeros, "b"}});
  for (const auto& [signature, found] : std::vector<std::pair<QString, bool>>{
           {sig("a") + QString(zeros, QChar(0)) + sig("b"), true},
           {sig("a") + QString(zeros - 1, QChar(0)) + sig("b"), false},
           {sig("a") + QString(zeros + 1, QChar(0)) + sig("b"), false},
           {QString(140000, QChar(0)) + sig("b"), true},
           {sig("b") + QString(100, QChar(0)), true},
       }) {
    for (const text::Encoding e :
         {text::Encoding::Auto, text::Encoding::Gbk, text::Encoding::Utf8}) {
      const SignatureMatcher m(signature, e);
      EXPECT_EQ(m.matchBytes(f.content), found) << signature.size();
      EXPECT_EQ(m.matchFile(f.path), found ? MatchResult::Match : MatchResult::NoMatch)
          << signature.size() << " " << int(e);
    }
  }
}

// A hole is not read: a file of 4 GiB with 8 KiB of data costs its data.
TEST(SparseFiles, AHugeHoleIsNotRead) {
  TempTree t;
  const off_t size = off_t(4) << 30;
  const SparseFile f = makeSparse(
      t, "a.php", size,
      {{0, QByteArray(4096, 'a')}, {size / 2, "<?php x<iframe src=x>y" + QByteArray(4074, 'b')}});
  if (!f.hasHoles)
    GTEST_SKIP() << "SKIP: this file system made no holes";
  for (const auto& [signature, found] : std::vector<std::pair<QString, bool>>{
           {sig("<iframe src=x>"), true},
           {sig("<iframe src=y>"), false},
           {QString(64, QChar(0)), true},  // in the hole, unread
           {sig("b") + QString(2, QChar(0)), true},
           {QString(2, QChar(0)) + sig("<?php"), true},
           {sig("a") + QString(9, QChar(0)) + sig("b"), false},
       }) {
    const SignatureMatcher m(signature);
    scan::ReadStats stats;
    EXPECT_EQ(m.matchFile(f.path, nullptr, &stats),
              found ? MatchResult::Match : MatchResult::NoMatch)
        << signature.size();
    EXPECT_LE(stats.bytes, std::uint64_t(64 * 1024)) << signature.size();
  }
}
