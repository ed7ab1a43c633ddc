// tervane-cli clean --dry-run: what the clean would remove from each listed
// file, found as the clean finds it; changes nothing.
#pragma once

#include <QString>

#include "cli/cleanlist.h"
#include "cli/sink.h"
#include "text/encoding.h"
#include "text/lineends.h"

namespace cli {

// Tells, for each file of `list`, the ranges of bytes the clean would remove
// (with `json`, one object per file and a summary), or that the clean would
// quarantine it and for which member (`quarantine`: any occurrence). The exit
// status.
int previewClean(PathList& list, const QString& signature, bool quarantine, text::Encoding encoding,
                 text::LineEnds lineEnds, bool json, Sink& out, Sink& err);

}  // namespace cli
