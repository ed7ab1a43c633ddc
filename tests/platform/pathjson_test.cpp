// Paths through JSON: exact bytes back, whatever they hold, through a real
// serialisation and parse.
#include "platform/pathjson.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

namespace {

QJsonObject throughText(const QJsonObject& o) {
  return QJsonDocument::fromJson(QJsonDocument(o).toJson(QJsonDocument::Compact)).object();
}

TEST(PathJson, EveryByteSequenceComesBack) {
  const QByteArray cases[] = {
      QByteArray("/srv/www/index.php"),
      QByteArray("/srv/\xe6\x96\xb0\xe9\x97\xbb/a.php"),  // UTF-8
      QByteArray("/srv/\xd6\xd0\xce\xc4.php"),            // GBK, not UTF-8
      QByteArray("/a\nb\r\"c\\d\x01\x7f"),
      QByteArray("/\xed\xa0\x80"),  // an encoded surrogate
      QByteArray("/\xc0\xaf"),      // overlong "/"
      QByteArray("\xff"),
      QByteArray(""),
  };
  for (const QByteArray& bytes : cases) {
    QJsonObject o;
    platform::putPath(o, bytes, QStringLiteral("file"));
    const std::optional<QByteArray> back =
        platform::takePath(throughText(o), QStringLiteral("file"));
    ASSERT_TRUE(back.has_value()) << bytes.toHex().constData();
    EXPECT_EQ(*back, bytes) << bytes.toHex().constData();
  }
}

TEST(PathJson, UtfEightPathsAreTextAloneOthersCarryTheirBytes) {
  QJsonObject utf8;
  platform::putPath(utf8, "/srv/\xe6\x96\xb0.php");
  EXPECT_EQ(utf8.value(QStringLiteral("path")).toString(), QStringLiteral(u"/srv/新.php"));
  EXPECT_FALSE(utf8.contains(QStringLiteral("path_bytes")));

  QJsonObject gbk;
  platform::putPath(gbk, "/srv/\xd6\xd0.php");
  EXPECT_TRUE(gbk.value(QStringLiteral("path")).toString().contains(QChar(0xFFFD)));
  EXPECT_EQ(gbk.value(QStringLiteral("path_bytes")).toString(), QStringLiteral("L3Nydi/W0C5waHA="));
}

TEST(PathJson, MalformedInputIsNoPath) {
  QJsonObject none;
  EXPECT_FALSE(platform::takePath(none).has_value());
  QJsonObject badBase64{{QStringLiteral("path"), QStringLiteral("x")},
                        {QStringLiteral("path_bytes"), QStringLiteral("!!!")}};
  EXPECT_FALSE(platform::takePath(badBase64).has_value());
  QJsonObject notText{{QStringLiteral("path"), 3}};
  EXPECT_FALSE(platform::takePath(notText).has_value());
}

}  // namespace
