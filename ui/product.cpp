#include "ui/product.h"

using namespace Qt::StringLiterals;

namespace product {

QString forumAddress() {
  return u"http://"_s + kForumHost.toString();
}

QString windowCaption() {
  return u"Tervane 网页木马扫描清除 —— "_s + kForumName.toString() + u' ' + forumAddress();
}

QString helpCaption() {
  return kHelpBoard.toString() + u"   （&Help）"_s;
}

QString helpUrl() {
  return forumAddress() + kHelpPathAndQuery.toString();
}

QString sampleSignature() {
  return u"<iframe src=\"http://"_s + kSampleHost.toString() +
         u"/index.php\" width=0 \r\nheight=0></iframe>\r\n"_s;
}

}  // namespace product
