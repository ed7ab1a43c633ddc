#include "platform/pathcodec.h"

#include <gtest/gtest.h>

#include <random>

using platform::decodePath;
using platform::encodePath;

TEST(PathCodec, Utf8NamesDecodeAsText) {
  EXPECT_EQ(decodePath("/srv/www/中文/a b.php"), u"/srv/www/中文/a b.php");
  EXPECT_EQ(encodePath(u"/srv/中文"), QByteArray("/srv/\xE4\xB8\xAD\xE6\x96\x87"));
  EXPECT_EQ(decodePath("\xF0\x9F\x98\x80"), u"\U0001F600");
}

TEST(PathCodec, NonUtf8BytesRoundTripExactly) {
  const QByteArray cases[] = {
      "/www/\xD6\xD0\xCE\xC4.asp",  // a GBK name
      "\xFF\xFE",                   // never valid
      "\xC0\xAF",                   // overlong "/"
      "\xED\xB2\x80",               // an encoded surrogate
      "\xE4\xB8",                   // truncated sequence
      "a\xE4\xB8\xAD"
      "b\x80",  // valid, then a stray byte
  };
  for (const QByteArray& bytes : cases) {
    const QString text = decodePath(bytes);
    EXPECT_EQ(encodePath(text), bytes) << bytes.toHex().constData();
  }
  EXPECT_EQ(decodePath("\xD6\xD0").size(), 2);  // one character per stray byte
}

TEST(PathCodec, RandomBytesRoundTrip) {
  std::mt19937 rng(1234);
  for (int i = 0; i < 2000; ++i) {
    QByteArray bytes;
    const int n = int(rng() % 24);
    for (int k = 0; k < n; ++k) {
      bytes.append(char(rng() % 3 == 0 ? 0x20 + rng() % 0x60 : 1 + rng() % 255));
    }
    ASSERT_EQ(encodePath(decodePath(bytes)), bytes) << bytes.toHex().constData();
  }
}
