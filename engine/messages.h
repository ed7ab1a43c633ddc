// The system's own texts, shared by the engine, the windows and the command line.
#pragma once

#include <QStringView>

namespace msg {

inline constexpr QStringView kNoSignature = u"请输入特征码...";
inline constexpr QStringView kInvalidPath = u"该目录不是有效路径";
inline constexpr QStringView kNoMatch = u"没有与之相符合的感染文件...";
// Instead of kNoMatch when Stop ended a scan that had found nothing yet: the
// files it never reached were not checked.
inline constexpr QStringView kScanStopped =
    u"扫描已停止，停止前没有发现感染文件（没有扫描到的文件未经检查）。";
// Clean refused: the results box holds a scan's list and the signature box no
// longer gives that scan's signature.
inline constexpr QStringView kSignatureChanged =
    u"特征码已改动，与这次扫描所用的不同。请用新的特征码重新扫描，然后再清除。";
inline constexpr QStringView kAllDrives = u"全盘扫描";
// The filter box's text when the main window opens; the command line's default.
inline constexpr QStringView kDefaultFilter = u"*.ASP|*.PHP|*.JS";
// Its spelling (清楚, not 清除) is kept on purpose: logs and callers know this text.
inline constexpr QStringView kCleaned = u"  清楚成功！";
// Instead of kCleaned for a file taken out of the site whole (its original is
// in the backups).
inline constexpr QStringView kQuarantined = u"  已隔离！";
inline constexpr QStringView kAppTitle = u"Tervane";
// When the desktop has no program to show a file or open the help page.
inline constexpr QStringView kFileManagerFailed = u"无法启动文件管理器";
inline constexpr QStringView kBrowserFailed = u"无法启动浏览器";
// After a scan that could not read some files: their number ("%1"), then the
// first few paths, one a line, and kMore when there are others.
inline constexpr QStringView kUnreadable = u"有 %1 个文件无法读取，未能检查是否感染：";
// Files that hold the signature only in the reading their bytes' count did not
// take: neither listed nor cleaned, but named.
inline constexpr QStringView kOtherReading =
    u"有 %1 个文件按另一种编码读取时含有特征码，无法确定其编码，未列出，也不会清除：";
inline constexpr QStringView kMore = u"……";
// After a scan that found something other than the backup store at the store's
// place: the path ("%1") and why it is not the store ("%2"). It was scanned.
inline constexpr QStringView kStoreNotSkipped =
    u"备份文件夹的位置上不是本程序的备份文件夹（%2），已照常扫描：%1";

// The way back in the window. Every summary line of a log the window writes
// begins with kSummaryMark, which tells the clean that the box holds a log, not
// a list.
inline constexpr QStringView kSummaryMark = u"—— ";
// The last line of a cleaning log: the number of files cleaned ("%1") and how to undo.
inline constexpr QStringView kCleanSummary = u"—— 已清除 %1 个文件，原件已备份，右键可撤销（%2）";
inline constexpr QStringView kCleanSummaryNone = u"—— 没有清除任何文件。";
// The last line of a restore log: files restored ("%1"), and not restored ("%2").
inline constexpr QStringView kRestoreSummary =
    u"—— 已恢复 %1 个文件，%2 个文件没有恢复。要再清除，请先重新扫描。";
inline constexpr QStringView kUndoLastClean = u"撤销上次清除";
inline constexpr QStringView kManageBackups = u"管理备份…";
inline constexpr QStringView kNoBackups = u"没有可以恢复的清除：备份中没有清除记录。";
// Before a restore: the clean's start time ("%1") and its number of files ("%2").
inline constexpr QStringView kConfirmRestore =
    u"将把 %1 清除的 %2 个文件恢复成清除前的内容（其中的网马也会恢复）。要恢复吗？";
// Files changed since the clean: their number ("%1"), then their paths, one a line.
inline constexpr QStringView kConfirmEdited =
    u"有 %1 个文件在清除之后又被改动过，没有恢复。仍然恢复它们吗？这些改动将会丢失：";
// A restore that could not put some files back: their number ("%1"); the
// first one and the reason follow.
inline constexpr QStringView kRestoreFailed = u"恢复时有 %1 个文件出错，没有恢复，详见记录。";
inline constexpr QStringView kConfirmDelete =
    u"删除 %1 这次清除的备份后，就不能再恢复它了。要删除吗？";
inline constexpr QStringView kRunStillGoing = u"这次清除还在进行，不能删除它的备份。";

}  // namespace msg
