// The message a cleaning run shows when it stops at a file.
//
// Rules for its text: four lines, in plain words, nothing technical unless there
// is nothing plainer.
//   1. "清除网马时出错，已停止清除。" — the run has stopped.
//   2. "文件：" and the path exactly as the results log lists it; a path of more
//      than 600 characters by its start and its end, and its length.
//   3. "原因：" and one sentence on why (see reasonText), ending in "。".
//   4. What became of the file and of the rest of the list: untouched, replaced
//      but perhaps not yet on disk, or damaged with the backup's path.
// Lines are separated by CR LF, like every text of the window state.
#pragma once

#include <QString>

#include "clean/rewrite.h"

namespace clean {

// Line 3's sentence, without "原因：".
QString reasonText(const Failure& f);

// The whole message for `path` (the path as the results log lists it).
QString failureMessage(const QString& path, const Failure& f);

// Lines 2 and 3, then what became of this one file, for a run that asks whether
// to go on.
QString failureFacts(const QString& path, const Failure& f);

}  // namespace clean
