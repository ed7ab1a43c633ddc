// The system's own texts, shared by the engine, the windows and the command line.
#pragma once

#include <QStringView>

namespace msg {

inline constexpr QStringView kNoSignature = u"请输入特征码...";
inline constexpr QStringView kInvalidPath = u"该目录不是有效路径";
inline constexpr QStringView kNoMatch = u"没有与之相符合的感染文件...";
inline constexpr QStringView kAllDrives = u"全盘扫描";
// The filter box's text when the main window opens; the command line's default.
inline constexpr QStringView kDefaultFilter = u"*.ASP|*.PHP|*.JS";
inline constexpr QStringView kCleaned = u"  清楚成功！";
inline constexpr QStringView kAppTitle = u"Tervane";
// When the desktop has no program to show a file or open the help page.
inline constexpr QStringView kFileManagerFailed = u"无法启动文件管理器";
inline constexpr QStringView kBrowserFailed = u"无法启动浏览器";
// After a scan that could not read some files: their number ("%1"), then the
// first few paths, one a line, and kMore when there are others.
inline constexpr QStringView kUnreadable = u"有 %1 个文件无法读取，未能检查是否感染：";
inline constexpr QStringView kMore = u"……";
// After a scan that found something other than the backup store at the store's
// place: the path ("%1") and why it is not the store ("%2"). It was scanned.
inline constexpr QStringView kStoreNotSkipped =
    u"备份文件夹的位置上不是本程序的备份文件夹（%2），已照常扫描：%1";

}  // namespace msg
