// The messages of the clean and of the repair after a run cut short name their
// files by the one-line form of a path: a name cannot add a line of its own or
// carry a control character into a terminal or a message box.
#include <gtest/gtest.h>

#include <QStringList>

#include "clean/failures.h"
#include "clean/journal.h"
#include "platform/pathline.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;

namespace {

const QByteArray kForgedPath =
    "/www/x\ntervane-cli: all files verified clean, nothing to do\r\n/e\x1b]0;owned\x07\u200b.php";

// A message's lines, separated as every message separates them (CR LF); none
// holds a control character or an invisible one.
QStringList linesOf(const QString& message) {
  const QStringList lines = text::split(message, text::kCrLf);
  for (const QString& line : lines) {
    for (const QChar c : line) {
      EXPECT_FALSE(platform::needsEscape(c.unicode()) || platform::isInvisible(c.unicode()))
          << line.toStdString();
    }
  }
  return lines;
}

}  // namespace

TEST(CleanMessages, RecoveryNotesNameEachFileOnOneLine) {
  const std::vector<clean::RecoveryNote> notes = {
      {clean::RecoveryNote::What::RolledBack, kForgedPath, {}, 0},
      {clean::RecoveryNote::What::TempRemoved, kForgedPath + ".tmp", {}, 0},
      {clean::RecoveryNote::What::CouldNotRollBack, kForgedPath, kForgedPath + ".copy", EIO},
  };
  const QStringList lines = linesOf(clean::recoveryMessage(notes));
  ASSERT_EQ(lines.size(), 4);
  EXPECT_TRUE(lines[1].endsWith(platform::lineOfBytes(kForgedPath))) << lines[1].toStdString();
  EXPECT_TRUE(lines[2].endsWith(platform::lineOfBytes(kForgedPath + ".tmp")));
  EXPECT_TRUE(lines[3].contains(platform::lineOfBytes(kForgedPath)));
  EXPECT_TRUE(lines[3].endsWith(platform::lineOfBytes(kForgedPath + ".copy")));
}

TEST(CleanMessages, FailureNamesTheLinkAndTheBackupOnOneLine) {
  clean::Failure link;
  link.reason = clean::Reason::UntrustedLink;
  link.link = kForgedPath;
  QStringList lines = linesOf(clean::failureMessage(platform::lineOfBytes(kForgedPath), link));
  ASSERT_EQ(lines.size(), 4);
  EXPECT_TRUE(lines[2].contains(platform::lineOfBytes(kForgedPath))) << lines[2].toStdString();

  clean::Failure damaged;
  damaged.error = EIO;
  damaged.outcome = clean::Outcome::Damaged;
  damaged.backup = kForgedPath + ".copy";
  lines = linesOf(clean::failureMessage(platform::lineOfBytes(kForgedPath), damaged));
  ASSERT_EQ(lines.size(), 4);
  EXPECT_TRUE(lines[3].endsWith(platform::lineOfBytes(kForgedPath + ".copy")));
}
