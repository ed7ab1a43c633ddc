#include "platform/sha256.h"

#include <openssl/evp.h>

namespace platform {

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  failed_ = !ctx_ || EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) != 1;
}

Sha256::~Sha256() {
  EVP_MD_CTX_free(ctx_);
}

void Sha256::add(QByteArrayView bytes) {
  if (!failed_ && !bytes.isEmpty())
    failed_ = EVP_DigestUpdate(ctx_, bytes.data(), std::size_t(bytes.size())) != 1;
}

QByteArray Sha256::result() {
  QByteArray out(EVP_MAX_MD_SIZE, Qt::Uninitialized);
  unsigned len = 0;
  if (failed_ ||
      EVP_DigestFinal_ex(ctx_, reinterpret_cast<unsigned char*>(out.data()), &len) != 1) {
    failed_ = true;
    return {};
  }
  failed_ = true;  // finished: a second result would be of nothing
  out.resize(qsizetype(len));
  return out;
}

QByteArray Sha256::of(QByteArrayView bytes) {
  Sha256 h;
  h.add(bytes);
  return h.result();
}

}  // namespace platform
