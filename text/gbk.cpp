#include "text/gbk.h"

#include <unicode/ucnv.h>

#include <memory>
#include <stdexcept>

#include "text/textops.h"

namespace gbk {
namespace {

std::unique_ptr<Tables> build() {
  auto t = std::make_unique<Tables>();
  UErrorCode err = U_ZERO_ERROR;
  UConverter* cnv = ucnv_open("windows-936-2000", &err);
  if (U_FAILURE(err))
    throw std::runtime_error("ICU has no windows-936-2000 converter");
  ucnv_setToUCallBack(cnv, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &err);

  auto convert = [cnv](const char* in, int len) -> char16_t {
    UErrorCode e = U_ZERO_ERROR;
    UChar out[4];
    ucnv_reset(cnv);
    const int n = ucnv_toUChars(cnv, out, 4, in, len, &e);
    return (U_SUCCESS(e) && n == 1) ? char16_t(out[0]) : char16_t(0);
  };

  for (int b = 0; b < 256; ++b) {
    char16_t c = 0;
    if (!isLead(uint8_t(b))) {
      const char in = char(b);
      c = convert(&in, 1);
    }
    if (c == 0 && b != 0)
      c = invalidByteChar(uint8_t(b));
    t->single[b] = c;
    t->singleLower[b] = text::lowerChar(c);
  }
  for (int l = 0x81; l <= 0xFE; ++l) {
    for (int tr = 0x40; tr <= 0xFE; ++tr) {
      char16_t c = 0xFFFD;
      if (isTrail(uint8_t(tr))) {
        const char in[2] = {char(l), char(tr)};
        c = convert(in, 2);
        // Every well-formed pair is mapped in this table; should one ever be
        // missing, it must still match nothing a user can type.
        if (c == 0)
          c = invalidByteChar(uint8_t(l));
      }
      t->pair[l - 0x81][tr - 0x40] = c;
      t->pairLower[l - 0x81][tr - 0x40] = text::lowerChar(c);
    }
  }
  ucnv_close(cnv);
  return t;
}

}  // namespace

namespace detail {
const Tables& buildTables() {
  static const std::unique_ptr<Tables> t = build();
  return *t;
}
}  // namespace detail

QString decode(QByteArrayView bytes) {
  QString out;
  out.resize(bytes.size());
  auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const uint8_t* end = p + bytes.size();
  char16_t* o = reinterpret_cast<char16_t*>(out.data());
  qsizetype n = 0;
  while (p < end) {
    p += decodeOne(p, end, true, o + n);
    ++n;
  }
  out.truncate(n);
  return out;
}

}  // namespace gbk
