// The reading a page's first bytes give: as a browser's prescan finds it, so
// that the page's author cannot hide it behind tricks a browser ignores.
#include <gtest/gtest.h>

#include <QByteArray>

#include "text/encoding.h"

using text::Decider;
using text::Encoding;

namespace {

struct Case {
  QByteArray head;
  Encoding encoding;
  Decider decider;
  QByteArray unreadLabel = {};
};

}  // namespace

TEST(PageReading, TheFirstBytesDecideAsABrowsersPrescan) {
  const QByteArray far = "<p>" + QByteArray(1030, 'x') + "<meta charset=gbk>";
  const Case cases[] = {
      {"\xEF\xBB\xBF<meta charset=gbk>", Encoding::Utf8, Decider::Bom},
      {"\xFF\xFE<\0a\0", Encoding::Utf16Le, Decider::Bom},
      {"\xFE\xFF\0<\0a", Encoding::Utf16Be, Decider::Bom},
      {"<html><META CharSet = \"UTF-8\">", Encoding::Utf8, Decider::Declaration},
      {"<meta charset='gb2312'/>", Encoding::Gbk, Decider::Declaration},
      {"<meta http-equiv=\"Content-Type\" content=\"text/html; charset=GBK\">", Encoding::Gbk,
       Decider::Declaration},
      {"<meta content=\"text/html; charset=x-gbk\" http-equiv=content-type>", Encoding::Gbk,
       Decider::Declaration},
      // Without the pragma a content attribute declares nothing.
      {"<meta content=\"text/html; charset=gbk\">", Encoding::Auto, Decider::Count},
      // What a comment or another tag's attribute holds is no tag.
      {"<!-- <meta charset=gbk> --><meta charset=utf-8>", Encoding::Utf8, Decider::Declaration},
      {"<a title=\"<meta charset=gbk>\"><meta charset=utf8>", Encoding::Utf8, Decider::Declaration},
      {"<!--> <meta charset=gbk>", Encoding::Gbk, Decider::Declaration},
      // A declaration of UTF-16 in the bytes themselves is taken as UTF-8.
      {"<meta charset=utf-16le>", Encoding::Utf8, Decider::Declaration},
      // No label: the prescan goes on to the next.
      {"<meta charset=nonsense><meta charset=chinese>", Encoding::Gbk, Decider::Declaration},
      {"<?xml version=\"1.0\" encoding='GB18030'?><r/>", Encoding::Gbk, Decider::Declaration},
      {"@charset \"gbk\"; body {}", Encoding::Gbk, Decider::Declaration},
      {"@charset 'gbk'; body {}", Encoding::Auto, Decider::Count},
      // An encoding read in neither way: the count decides, the label is told.
      {"<meta charset=\" Shift_JIS \">", Encoding::Auto, Decider::Count, "shift_jis"},
      {far, Encoding::Auto, Decider::Count},
      {"<p>plain", Encoding::Auto, Decider::Count},
  };
  for (const Case& c : cases) {
    const text::HeadReading r = text::readingOfHead(c.head);
    EXPECT_EQ(r.encoding, c.encoding) << c.head.toStdString();
    EXPECT_EQ(r.decider, c.decider) << c.head.toStdString();
    EXPECT_EQ(r.unreadLabel, c.unreadLabel) << c.head.toStdString();
  }
}

TEST(PageReading, TheHeadOutranksTheCountAndTheOptionOutranksBoth) {
  // More stray bytes than UTF-8 characters, yet declared UTF-8.
  const QByteArray page = "<meta charset=utf-8>\xC3\xA9<!--\xFF\xFF-->";
  EXPECT_EQ(text::readingOf(page).encoding, Encoding::Utf8);
  EXPECT_EQ(text::readingOf(page).decider, Decider::Declaration);
  EXPECT_EQ(text::readingOf(QByteArray(page).remove(0, 20)).encoding, Encoding::Gbk);
  EXPECT_EQ(text::readingOf(page, Encoding::Gbk).decider, Decider::Option);
  // The streaming finder gives the same, fed a byte at a time.
  const QByteArray late = QByteArray(1100, 'x') + "\xC3\xA9";
  for (const QByteArray& content : {page, QByteArray(page).remove(0, 20), late}) {
    text::ReadingFinder finder(Encoding::Auto);
    for (char c : content) {
      const auto b = static_cast<std::uint8_t>(c);
      finder.feed(&b, 1);
    }
    const text::Reading streamed = finder.finish();
    EXPECT_EQ(streamed.encoding, text::readingOf(content).encoding) << content.toStdString();
    EXPECT_EQ(streamed.decider, text::readingOf(content).decider) << content.toStdString();
  }
  EXPECT_EQ(text::decodeContent(QByteArray("\xFF\xFE\x41\0\x3D\xD8\x00\xDE", 8)),
            QStringView(u"\uFEFFA\U0001F600").toString());
}
