// The clean removes what the scan matches: the content decoded by the same
// encoding rule and lower-cased, occurrences on character boundaries, one pass
// from the start, every other byte written back as it was. After a clean, a
// scan with the same signature finds nothing.
#include <gtest/gtest.h>

#include "clean/remover.h"
#include "clean/rewrite.h"
#include "engine/messages.h"
#include "plainwindowstate.h"
#include "testsupport.h"
#include "window/cleaner.h"
#include "window/windowscan.h"
#include "window/windowstate.h"

using namespace Qt::StringLiterals;
using clean::removeSignature;
using text::Encoding;

namespace {

const QString kSample =
    u"<iframe src=\"http://bad.example.net/index.php\" width=0 \r\nheight=0></iframe>\r\n"_s;

QByteArray upper(const QString& s) {
  return s.toUpper().toUtf8();
}

// Every piece size up to the content's length, and one piece.
void expectRemoved(const QByteArray& content, const QString& signature, const QByteArray& want,
                   Encoding encoding = Encoding::Auto) {
  for (std::size_t chunk = 1; chunk <= std::size_t(content.size()) + 1; ++chunk) {
    ASSERT_EQ(removeSignature(content, signature, chunk, nullptr, encoding).toHex(' '),
              want.toHex(' '))
        << "chunk " << chunk;
  }
}

}  // namespace

TEST(EncodingClean, RemovalFollowsTheContentsEncodingAndIgnoresLetterCase) {
  // A Chinese signature from a UTF-8 page and from its GBK twin.
  expectRemoved(u"<p>欢迎赌博网站!</p>"_s.toUtf8(), u"赌博网站"_s, u"<p>欢迎!</p>"_s.toUtf8());
  expectRemoved("<p>\xBB\xB6\xD3\xAD\xB6\xC4\xB2\xA9\xCD\xF8\xD5\xBE!</p>", u"赌博网站"_s,
                "<p>\xBB\xB6\xD3\xAD!</p>");
  // The ASCII signature right after a Chinese character of a UTF-8 file; read
  // as GBK, 中's last byte would take the "e" and nothing would go.
  const QByteArray php = u"<?php //中EVAL(base64_decode(\"aGk=\"));"_s.toUtf8();
  expectRemoved(php, u"eval(base64_decode"_s, u"<?php //中(\"aGk=\"));"_s.toUtf8());
  expectRemoved(php, u"eval(base64_decode"_s, php, Encoding::Gbk);
  // One invalid byte at the end: the file is GBK, and the same bytes stay.
  expectRemoved(php + "\xFF", u"eval(base64_decode"_s, php + "\xFF");
  // Upper, lower and mixed case all go; the bytes between stay exactly.
  expectRemoved("\xEF\xBB\xBF" + upper(kSample) + "\xE4\xB8\xAD" + kSample.toUtf8() + "x", kSample,
                "\xEF\xBB\xBF\xE4\xB8\xAD"
                "x");
  // Look-alikes of another length in UTF-8: the Kelvin sign is a "k".
  expectRemoved(u"a\u212AIT b kit"_s.toUtf8(), u"kit"_s, "a b ");
  // Characters of four bytes around the signature and cut by every piece border.
  expectRemoved(u"😀<IFRAME>😀"_s.toUtf8(), u"<iframe>"_s, u"😀😀"_s.toUtf8());
}

TEST(EncodingClean, RangesAreByteOffsetsOfTheFile) {
  std::vector<clean::ByteRange> ranges;
  const QByteArray content = u"中文<IFRAME>中<iframe>"_s.toUtf8();
  EXPECT_EQ(removeSignature(content, u"<iframe>"_s, 3, &ranges), u"中文中"_s.toUtf8());
  const std::vector<clean::ByteRange> want = {{6, 8}, {17, 8}};
  EXPECT_EQ(ranges, want);
}

TEST(EncodingClean, WindowCleanLeavesNothingForTheNextScan) {
  TempTree t;
  const QByteArray utf8Page = u"<html>欢迎"_s.toUtf8() + upper(kSample) + u"文</html>"_s.toUtf8();
  const QByteArray gbkPage =
      "<html>\xBB\xB6\xD3\xAD" + upper(kSample) + "x" + kSample.toUtf8() + "\xCE\xC4</html>";
  const QByteArray mixed = "<?php //" + u"中"_s.toUtf8() +
                           "<IfRaMe src=\"http://bad.example.net/"
                           "index.php\" width=0 \r\nheight=0></IFRAME>\r\n?>";
  t.write("site/a.php", utf8Page);
  t.write("site/b.php", gbkPage);
  t.write("site/c.php", mixed);
  t.write("site/d.php", "clean page");

  PlainWindowState w;
  w.Text3 = kSample;
  w.Combo1 = t.path("site");
  w.Combo2 = u"*.PHP"_s;
  WindowScan scanner(w);
  scanner.Command1_Click();
  ASSERT_EQ(w.Text1, t.path("site/a.php") + u"\r\n"_s + t.path("site/b.php") + u"\r\n"_s +
                         t.path("site/c.php") + u"\r\n"_s);

  Cleaner cleaner(w);
  cleaner.Command2_Click();
  EXPECT_TRUE(w.messages.isEmpty()) << w.messages.join(u'\n').toStdString();
  for (const char* name : {"site/a.php", "site/b.php", "site/c.php"})
    EXPECT_TRUE(w.Text1.contains(t.path(name) + u"\r\n"_s + msg::kCleaned.toString() + u"\r\n"_s))
        << name;
  EXPECT_EQ(t.read("site/a.php"), u"<html>欢迎文</html>"_s.toUtf8());
  EXPECT_EQ(t.read("site/b.php"), "<html>\xBB\xB6\xD3\xADx\xCE\xC4</html>");
  EXPECT_EQ(t.read("site/c.php"), "<?php //" + u"中"_s.toUtf8() + "?>");
  EXPECT_EQ(t.read("site/d.php"), "clean page");

  scanner.Command1_Click();
  EXPECT_EQ(w.Text1, msg::kNoMatch);

  // A file listed that holds nothing to remove is logged as cleaned all the same.
  w.Text1 = t.path("site/d.php") + u"\r\n"_s;
  cleaner.Command2_Click();
  EXPECT_EQ(w.Text1, t.path("site/d.php") + u"\r\n"_s + msg::kCleaned.toString() + u"\r\n"_s);
  EXPECT_EQ(t.read("site/d.php"), "clean page");
}

TEST(EncodingClean, FileEncodingIsLearntBeforeAnyRemoval) {
  TempTree t;
  // Valid UTF-8 until a byte far behind the occurrence: GBK, so the "i" after
  // the lead byte 0xAD belongs to a GBK character and the file stays as it is.
  QByteArray late = u"中iframe"_s.toUtf8() + QByteArray(5000, 'a') + "\xFF";
  t.write("late.htm", late);
  QByteArray valid = u"中IFRAME"_s.toUtf8() + QByteArray(5000, 'a');
  t.write("valid.htm", valid);
  clean::Options o;
  o.chunkSize = 7;
  EXPECT_TRUE(clean::cleanFile(t.abs("late.htm"), u"iframe"_s, o).ok());
  EXPECT_EQ(t.read("late.htm"), late);
  EXPECT_TRUE(clean::cleanFile(t.abs("valid.htm"), u"iframe"_s, o).ok());
  EXPECT_EQ(t.read("valid.htm"), u"中"_s.toUtf8() + QByteArray(5000, 'a'));
  // With GBK chosen, the UTF-8 file is read as GBK as before.
  t.write("valid.htm", valid);
  o.encoding = Encoding::Gbk;
  EXPECT_TRUE(clean::cleanFile(t.abs("valid.htm"), u"iframe"_s, o).ok());
  EXPECT_EQ(t.read("valid.htm"), valid);
}
