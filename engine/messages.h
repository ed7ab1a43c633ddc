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
// A set whose search could not be built, then why (Hyperscan's words).
inline constexpr QStringView kSetNotSearchable = u"the signature set cannot be searched: ";
// When the desktop has no program to show a file or open the help page.
inline constexpr QStringView kFileManagerFailed = u"无法启动文件管理器";
inline constexpr QStringView kBrowserFailed = u"无法启动浏览器";
// Below kFileManagerFailed: the file's folder ("%1") and what to do.
inline constexpr QStringView kFileManagerRemedy =
    u"文件所在的文件夹：%"
    u"1\r\n请在文件管理器中自己打开这个文件夹，或者安装一个桌面文件管理器后再试。";
// After a scan that could not read some files: their number ("%1"), then the
// first few paths, one a line, and kMore when there are others.
inline constexpr QStringView kUnreadable = u"有 %1 个文件无法读取，未能检查是否感染：";
// Files that hold the signature only in a reading not taken (the other one when
// the count decided; when a mark or a declaration did, a reading of the bytes
// without them): neither listed nor cleaned, but named.
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
// Added to the clean's summary line when files were left: failed ("%1") and
// not reached ("%2").
inline constexpr QStringView kCleanSummaryLeft = u"出错 %1 个，没有处理 %2 个。";
// Above the files a clean left, which the next clean takes and nothing else.
inline constexpr QStringView kNotCleanedHeader =
    u"—— 以下文件没有清除，改正原因后再点“清除网马”只清除它们：";
// Below a file that failed, before the reason.
inline constexpr QStringView kNotCleanedReason = u"  没有清除：";
// The reason for a file replaced under the flush of a file that failed: the
// next clean writes it again, surely.
inline constexpr QStringView kNotSurelyWritten = u"已经清除，但不能确定已写入磁盘。";
// When a file cannot be cleaned: the choices, "停止" the default.
inline constexpr QStringView kSkip = u"跳过";
inline constexpr QStringView kSkipAll = u"全部跳过";
inline constexpr QStringView kStop = u"停止";
inline constexpr QStringView kFailureQuestion =
    u"跳过这个文件继续清除（跳过），以后出错的文件都跳过（全部跳过），还是停止清除？";
// The scan's summary lines after its list; the clean takes the list without them.
inline constexpr QStringView kScanSummaryMark = u"—— 扫描";
// A scan's end: files tested ("%1") and found ("%2").
inline constexpr QStringView kScanDone = u"—— 扫描完成：检查了 %1 个文件，发现 %2 个感染文件。";
// After a scan whose signature begins or ends with line breaks, tabs or
// spaces: how many files hold it without them ("%1") against as given ("%2").
inline constexpr QStringView kNearMiss =
    u"特征码的开头或结尾有换行、制表符或空格。去掉它们后，有 %1 个文件含有特征码"
    u"（按原样只有 %2 个）。如果它们是复制时多带的，请去掉后再扫描。";
inline constexpr QStringView kScanStoppedWithFinds =
    u"—— 扫描已停止：停止前检查了 %1 个文件，发现 %2 个感染文件（没有扫描到的文件未经检查）。";
// The last line of a restore log: files restored ("%1"), and not restored ("%2").
inline constexpr QStringView kRestoreSummary =
    u"—— 已恢复 %1 个文件，%2 个文件没有恢复。要再清除，请先重新扫描。";
inline constexpr QStringView kUndoLastClean = u"撤销上次清除";
// After a clean that changed files: their number ("%1"), with kUndo and kOk.
inline constexpr QStringView kCleanDone = u"已清除 %1 个文件，原件已备份。";
inline constexpr QStringView kUndo = u"撤销";
inline constexpr QStringView kAlreadyUndone = u"上次清除已经撤销，文件已是清除前的内容。";
inline constexpr QStringView kOk = u"确定";
inline constexpr QStringView kManageBackups = u"管理备份…";
inline constexpr QStringView kNoBackups = u"没有可以恢复的清除：备份中没有清除记录。";
// Before a restore: the clean's start time ("%1") and its number of files ("%2").
inline constexpr QStringView kConfirmRestore =
    u"将把 %1 清除的 %2 个文件恢复成清除前的内容（其中的网马也会恢复）。要恢复吗？";
// The same for a clean this window did not make (another window's, or the
// command line's): its time ("%1"), folder ("%2") and files ("%3").
inline constexpr QStringView kConfirmRestoreOther =
    u"这个窗口还没有清除过文件。最近一次清除是 %1 在“%2”中清除的 %3 个文件，"
    u"将把它们恢复成清除前的内容（其中的网马也会恢复）。要恢复吗？";
// Files changed since the clean: their number ("%1"), then their paths, one a line.
inline constexpr QStringView kConfirmEdited =
    u"有 %1 个文件在清除之后又被改动过，没有恢复。仍然恢复它们吗？这些改动将会丢失：";
// A file the restore left because it was changed since the clean.
inline constexpr QStringView kRestoreEdited =
    u"清除之后文件又被改动过，为了不丢失这些改动，没有恢复。";
// A restore that could not put some files back: their number ("%1"); the
// first one and the reason follow.
inline constexpr QStringView kRestoreFailed = u"恢复时有 %1 个文件出错，没有恢复，详见记录。";
inline constexpr QStringView kConfirmDelete =
    u"删除 %1 这次清除的备份后，就不能再恢复它了。要删除吗？";
// A restore refused because another one of the same run is going.
inline constexpr QStringView kRestoreGoing = u"这次清除的备份正在另一处恢复，请等它结束后再试。";
inline constexpr QStringView kRunStillGoing = u"这次清除还在进行，不能删除它的备份。";

}  // namespace msg
