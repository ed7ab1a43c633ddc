#include "clean/remover.h"

#include <algorithm>

#include "text/gbk.h"

namespace clean {

SignatureRemover::SignatureRemover(QStringView gjz) : gjz_(gjz.toString()) {}

void SignatureRemover::feed(const uint8_t* p, std::size_t n, bool final,
                            std::vector<uint8_t>& out) {
  if (gjz_.isEmpty()) {
    out.insert(out.end(), p, p + n);
    return;
  }

  // Decode the new bytes behind what is pending; a lead byte left over from the
  // previous piece goes first.
  const std::size_t firstNew = bytes_.size();
  if (hasCarry_)
    bytes_.push_back(carry_);
  bytes_.insert(bytes_.end(), p, p + n);
  hasCarry_ = false;
  {
    const uint8_t* b = bytes_.data() + firstNew;
    const uint8_t* end = bytes_.data() + bytes_.size();
    while (b < end) {
      char16_t c;
      const int used = gbk::decodeOne(b, end, final, &c);
      if (used == 0) {
        carry_ = *b;
        hasCarry_ = true;
        bytes_.pop_back();
        break;
      }
      chars_.push_back(c);
      lens_.push_back(uint8_t(used));
      b += used;
    }
  }

  // One left-to-right pass over the pending text: keep what lies before each
  // occurrence, drop the occurrence, go on right behind it.
  const QStringView text(chars_.data(), qsizetype(chars_.size()));
  const qsizetype m = gjz_.size();
  qsizetype from = 0;    // first character not yet dealt with
  std::size_t byte = 0;  // its first byte
  auto bytesOf = [this](qsizetype a, qsizetype b) {
    std::size_t sum = 0;
    for (qsizetype i = a; i < b; ++i)
      sum += lens_[std::size_t(i)];
    return sum;
  };
  for (;;) {
    const qsizetype at = text.indexOf(gjz_, from);
    if (at < 0)
      break;
    const std::size_t keep = bytesOf(from, at);
    out.insert(out.end(), bytes_.begin() + std::ptrdiff_t(byte),
               bytes_.begin() + std::ptrdiff_t(byte + keep));
    byte += keep + bytesOf(at, at + m);
    from = at + m;
    ++removed_;
  }
  // An occurrence can still begin only in the last m - 1 characters, and only
  // while more input may come.
  const qsizetype safe = final ? text.size() : std::max(from, text.size() - (m - 1));
  const std::size_t pass = bytesOf(from, safe);
  out.insert(out.end(), bytes_.begin() + std::ptrdiff_t(byte),
             bytes_.begin() + std::ptrdiff_t(byte + pass));
  byte += pass;

  chars_.erase(chars_.begin(), chars_.begin() + safe);
  lens_.erase(lens_.begin(), lens_.begin() + safe);
  bytes_.erase(bytes_.begin(), bytes_.begin() + std::ptrdiff_t(byte));
}

QByteArray removeSignature(QByteArrayView content, QStringView gjz, std::size_t chunkSize) {
  if (chunkSize == 0)
    chunkSize = 1;
  SignatureRemover r(gjz);
  std::vector<uint8_t> out;
  auto* p = reinterpret_cast<const uint8_t*>(content.data());
  std::size_t left = std::size_t(content.size());
  do {
    const std::size_t take = std::min(chunkSize, left);
    left -= take;
    r.feed(p, take, left == 0, out);
    p += take;
  } while (left > 0);
  return QByteArray(reinterpret_cast<const char*>(out.data()), qsizetype(out.size()));
}

}  // namespace clean
