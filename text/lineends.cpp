#include "text/lineends.h"

namespace text {

QString lineBreaksAsLf(QStringView s) {
  QString out;
  out.reserve(s.size());
  for (qsizetype i = 0; i < s.size(); ++i) {
    if (s[i] == u'\r') {
      out.append(u'\n');
      if (i + 1 < s.size() && s[i + 1] == u'\n')
        ++i;
    } else {
      out.append(s[i]);
    }
  }
  return out;
}

}  // namespace text
