// What the fuzz targets share: reading structured values off the fuzzer's bytes,
// GBK-heavy alphabets that steer the bytes towards the cases that break decoders
// (lead bytes, ASCII letters as trail bytes, 0x80, invalid pairs, CR LF), and a
// check that stops at once with a readable account of the disagreement.
#pragma once

#include <unistd.h>

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "text/encoding.h"

namespace fuzz {

class Input {
 public:
  Input(const uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}

  uint8_t byte() { return p_ < end_ ? *p_++ : 0; }
  uint16_t u16() { return uint16_t(byte() | (byte() << 8)); }
  QByteArray bytes(std::size_t n) {
    n = std::min(n, left());
    QByteArray b(reinterpret_cast<const char*>(p_), qsizetype(n));
    p_ += n;
    return b;
  }
  QByteArray rest() { return bytes(left()); }
  std::size_t left() const { return std::size_t(end_ - p_); }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

// Bytes that sit on the borders of GBK's structure.
inline constexpr uint8_t kGbkAlphabet[] = {
    0x81, 0xA3, 0xB0, 0xC4, 0xD6, 0xFE, 0xFF, 0x80, 0x40, 0x7E, 0x7F, 0xC1, 0xBE, 0xA1, 'i',  'I',
    'f',  'F',  'a',  'A',  '<',  '>',  '\r', '\n', ' ',  '=',  '0',  0x00, 0xE9, 0xED, 0xC2, 0xA4};

// Maps every byte into the alphabet, so that almost every input is dense in
// lead bytes, trail bytes that are letters and line ends.
inline QByteArray gbkHeavy(QByteArrayView raw) {
  QByteArray out(raw.size(), '\0');
  for (qsizetype i = 0; i < raw.size(); ++i)
    out[i] = char(kGbkAlphabet[uint8_t(raw[i]) % sizeof kGbkAlphabet]);
  return out;
}

// Characters on the borders of UTF-8 and of lower-casing: ASCII letters and
// their look-alikes of other lengths (the Kelvin sign lower-cases to "k", "ẞ"
// to "ß"), Chinese, Cyrillic, a supplementary character, line ends of each
// kind, and a stray byte that is no UTF-8 (a mostly UTF-8 page stays UTF-8).
inline constexpr const char* kUtf8Alphabet[] = {"a",
                                                "A",
                                                "i",
                                                "I",
                                                "k",
                                                "K",
                                                "\xC4\xB0",
                                                "\xE2\x84\xAA",
                                                "\xC3\x9F",
                                                "\xE1\xBA\x9E",
                                                "<",
                                                ">",
                                                " ",
                                                "\r\n",
                                                "\n",
                                                "=",
                                                "\xE4\xB8\xAD",
                                                "\xE6\x96\x87",
                                                "\xD0\x94",
                                                "\xD0\xB4",
                                                "e",
                                                "E",
                                                "(",
                                                "\"",
                                                "\xF0\x9F\x98\x80",
                                                "\xEF\xBB\xBF",
                                                "0",
                                                "\xC2\xA0",
                                                "\r",
                                                "\xFF"};

// Maps every byte to one of those characters: UTF-8 dense in case pairs.
inline QByteArray utf8Heavy(QByteArrayView raw) {
  QByteArray out;
  for (qsizetype i = 0; i < raw.size(); ++i)
    out += kUtf8Alphabet[uint8_t(raw[i]) % (sizeof kUtf8Alphabet / sizeof *kUtf8Alphabet)];
  return out;
}

// UTF-16 code units, two bytes each, any value (lone surrogates included).
inline QString utf16Units(QByteArrayView raw) {
  QString s;
  s.reserve(raw.size() / 2);
  for (qsizetype i = 0; i + 1 < raw.size(); i += 2)
    s.append(QChar(char16_t(uint8_t(raw[i]) | (uint8_t(raw[i + 1]) << 8))));
  return s;
}

inline void dump(const char* label, QByteArrayView b) {
  std::fprintf(stderr, "%s (%lld bytes):", label, static_cast<long long>(b.size()));
  const qsizetype shown = std::min<qsizetype>(b.size(), 512);
  for (qsizetype i = 0; i < shown; ++i)
    std::fprintf(stderr, " %02x", uint8_t(b[i]));
  std::fprintf(stderr, shown < b.size() ? " ...\n" : "\n");
}

inline void dump(const char* label, QStringView s) {
  std::fprintf(stderr, "%s (%lld units):", label, static_cast<long long>(s.size()));
  const qsizetype shown = std::min<qsizetype>(s.size(), 256);
  for (qsizetype i = 0; i < shown; ++i)
    std::fprintf(stderr, " %04x", s[i].unicode());
  std::fprintf(stderr, shown < s.size() ? " ...\n" : "\n");
}

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "FUZZ CHECK FAILED: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

namespace detail {
// Plain arrays: they outlive every exit handler.
inline char tempDir[2048];
inline char tempPath[4096];
inline void removeTemp() {
  ::unlink(tempPath);
  ::rmdir(tempDir);
}
}  // namespace detail

// One temporary file per process, in a folder of its own, removed at exit.
inline const char* tempFile() {
  using namespace detail;
  if (!tempPath[0]) {
    const char* tmp = std::getenv("TMPDIR");
    const char* base = tmp && *tmp && std::strlen(tmp) < 1024 ? tmp : "/tmp";
    std::snprintf(tempDir, sizeof tempDir, "%s/tervane-fuzz-XXXXXX", base);
    if (!::mkdtemp(tempDir))
      fail("mkdtemp");
    std::snprintf(tempPath, sizeof tempPath, "%s/page.htm", tempDir);
    std::atexit(removeTemp);
  }
  return tempPath;
}

// The characters of a content read as UTF-8, kept deliberately naive: at each
// byte, the piece of two to four bytes that its lead byte announces is one
// character when Qt's own check finds it valid UTF-8; any other byte is one on
// its own (invalid when above 0x7F). The reading rule: UTF-8 when the valid
// characters of several bytes outnumber the invalid bytes, or there are none.
// What a content's first bytes decide, as a browser's: a byte-order mark, else
// a declaration (the prescan, tested on its own); Auto for the count.
inline text::Encoding headReading(QByteArrayView content) {
  if (content.startsWith("\xEF\xBB\xBF"))
    return text::Encoding::Utf8;
  if (content.startsWith("\xFF\xFE"))
    return text::Encoding::Utf16Le;
  if (content.startsWith("\xFE\xFF"))
    return text::Encoding::Utf16Be;
  return text::readingOfHead(content).encoding;
}

// Whether a content is read as UTF-16: its references are the UTF-16 search's
// own tests, so the fuzz targets pass it by.
inline bool readsAsUtf16(QByteArrayView content) {
  const text::Encoding e = headReading(content);
  return e == text::Encoding::Utf16Le || e == text::Encoding::Utf16Be;
}

struct Utf8Pieces {
  std::vector<qsizetype> starts;  // of each character, then the content's end
  qsizetype valid = 0;
  qsizetype invalid = 0;
  bool readsAsUtf8() const { return invalid == 0 || valid > invalid; }
};

inline Utf8Pieces utf8Pieces(QByteArrayView content) {
  Utf8Pieces p;
  for (qsizetype i = 0; i < content.size();) {
    p.starts.push_back(i);
    const uint8_t b = uint8_t(content[i]);
    const qsizetype len = b >= 0xF0 && b < 0xF8   ? 4
                          : b >= 0xE0 && b < 0xF0 ? 3
                          : b >= 0xC0 && b < 0xE0 ? 2
                                                  : 1;
    if (len > 1 && i + len <= content.size() && content.sliced(i, len).isValidUtf8()) {
      ++p.valid;
      i += len;
    } else {
      p.invalid += b >= 0x80;
      ++i;
    }
  }
  p.starts.push_back(content.size());
  return p;
}

}  // namespace fuzz

// The entry point every target defines; libFuzzer or the replay driver calls it.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);
