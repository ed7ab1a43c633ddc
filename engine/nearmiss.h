// A signature pasted with a line break, a tab or a space at an end (copied with
// the line it ended) finds only the files that hold those too. The scan keeps
// the signature's meaning, and counts in the same walk the files that hold it
// without them (Scanner::holdingWithoutEdgeBlanks), so that a user who would be
// told "nothing found" learns how near the miss was.
#pragma once

#include <QString>

#include <optional>

namespace nearmiss {

// The signature without the line breaks, tabs and spaces at its ends; nothing
// when it has none there, or nothing else.
std::optional<QString> withoutEdgeBlanks(const QString& signature);

}  // namespace nearmiss
