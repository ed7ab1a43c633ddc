// The encoding a page's first bytes declare, found as a browser's prescan
// finds it: an XML declaration's encoding or a CSS @charset at the very start,
// else <meta charset> or <meta http-equiv="Content-Type" content="...;
// charset=..."> outside comments. Part of the reading rule of text/encoding.h.
#pragma once

#include <optional>
#include <string_view>

#include "text/encoding.h"

namespace text {

// What the declaration in `head` (the bytes where one counts) gives: a reading
// for a label of UTF-8 or of the GBK family, the count with the label for any
// other label of the Encoding Standard; nothing when there is no declaration.
std::optional<HeadReading> declaredReading(std::string_view head);

}  // namespace text
