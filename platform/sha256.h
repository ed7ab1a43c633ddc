// SHA-256 through OpenSSL, which uses the processor's SHA instructions where
// it has them: several times faster than Qt's own hash, and the set cache
// hashes every member's text for its key and each entry it reads.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

struct evp_md_ctx_st;

namespace platform {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void add(QByteArrayView bytes);
  // The 32 bytes of the hash of all that was added; empty where OpenSSL
  // failed (out of memory, a policy that forbids the digest), which matches
  // no hash.
  QByteArray result();
  static QByteArray of(QByteArrayView bytes);

 private:
  evp_md_ctx_st* ctx_ = nullptr;
  bool failed_ = false;
};

}  // namespace platform
