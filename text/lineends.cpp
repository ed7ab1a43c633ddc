#include "text/lineends.h"

namespace text {

QString lineBreaksAsLf(QStringView s) {
  // Most signatures hold no CR: one copy then, not a character at a time.
  qsizetype cr = s.indexOf(u'\r');
  if (cr < 0)
    return s.toString();
  QString out;
  out.reserve(s.size());
  qsizetype from = 0;
  while (cr >= 0) {
    out.append(s.sliced(from, cr - from));
    out.append(u'\n');
    from = cr + 1 < s.size() && s[cr + 1] == u'\n' ? cr + 2 : cr + 1;
    cr = s.indexOf(u'\r', from);
  }
  out.append(s.sliced(from));
  return out;
}

}  // namespace text
