// A signature pasted with a line break, a tab or a space at an end (copied with
// the line it ended) finds only the files that hold those too. The scan keeps
// the signature's meaning; this counts the files that hold it without them, so
// that a user who would be told "nothing found" learns how near the miss was.
#pragma once

#include <QString>

#include <optional>

#include "engine/scanner.h"

namespace nearmiss {

// The signature without the line breaks, tabs and spaces at its ends; nothing
// when it has none there, or nothing else.
std::optional<QString> withoutEdgeBlanks(const QString& signature);

// How many files under `request`'s location hold `signature`, walked as the
// scan walks them. `outer` lends the scan its yields and its Stop; nothing is
// shown. Nothing when the walk was stopped or refused.
std::optional<qint64> filesHolding(ScanRequest request, const QString& signature,
                                   ScanListener* outer);

}  // namespace nearmiss
