// What a rewrite keeps of a file besides its bytes, owner, group, mode and
// extended attributes (see carryIdentity): its holes, the inode flags that
// lsattr shows, and its set-user-ID and set-group-ID bits.
//
// - Holes: runs of zero bytes that were holes in the file read stay holes in the
//   file written (skipped past its end, punched below it), shifted like every
//   other byte by the occurrences removed before them.
// - Flags: the ones in kCarriedFlags, which describe how the file is to be kept
//   and which its owner may set again. Immutable and append-only are not among
//   them: such a file cannot be opened for writing, so it is refused before
//   anything is read.
// - Set-ID bits: a write by anyone but root clears them; they are set again
//   where the running user may set them (the owner; the group bit only for a
//   group the user belongs to).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace clean {

enum class Step;
class Steps;

// s, u, c, S, d, A, j, t, C, m, x (as lsattr and chattr name them).
extern const unsigned kCarriedFlags;

// Gives `to` the carried flags of `from`, and drops carried flags it got from
// its folder that `from` does not have. Call it while `to` is still empty: some
// flags (C, no copy-on-write) only take on an empty file. 0 or the errno of a
// refusal; nothing to change is 0, and so is a file system without flags.
int carryFlags(int from, int to);

// Sets the set-user-ID and set-group-ID bits of `mode` on `fd` again, after a
// write may have cleared them. A user who may not set them (not the owner) is
// not an error: the system keeps them off for good reason. 0 or the errno.
int keepSetIdBits(int fd, mode_t mode);

// Writes a stream of bytes read from `from` into `to` from offset 0, leaving
// holes where `from` had holes. Nothing changes from a plain write when `from`
// has none, or its file system cannot tell.
class SparseWriter {
 public:
  SparseWriter(int from, int to);
  // Whether `from` has holes: otherwise write() is a plain write.
  bool active() const { return active_; }
  // Writes `n` bytes at `at` (advanced past them); they are the bytes of `from`
  // from offset `source` on. A run of them that is zero and was a hole there
  // is not written: skipped past the current end of `to`, punched below it (or
  // written as zeros where punching is not supported).
  int write(const Steps& steps, Step step, const uint8_t* p, std::size_t n, off_t& at,
            off_t source);
  // After the last write: `to` is at least `length` long (a hole may end it).
  int finish(const Steps& steps, Step step, off_t length);

 private:
  // Whether `at` lies in a hole of `from`; `end` gets the end of that run.
  bool inHole(off_t at, off_t& end);

  int from_;
  int to_;
  bool active_ = false;
  off_t size_ = 0;  // `to`'s length
  off_t runStart_ = 0, runEnd_ = 0;
  bool runHole_ = false;
};

}  // namespace clean
