#include "scan/bufferedsearch.h"

namespace scan {

std::size_t BufferedSearch::carry(std::size_t len, std::size_t need, bool leadRuns) {
  const std::size_t drop = len >= need ? len - need + 1 : 0;
  if (leadRuns)
    carryOdd_ = confirm::leadRunOddBefore(window(len), drop);
  std::memmove(buf_, buf_ + drop, len - drop);
  kept_ = len - drop;
  return drop;
}

}  // namespace scan
