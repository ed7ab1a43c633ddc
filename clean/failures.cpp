#include "clean/failures.h"

#include <cerrno>

#include "platform/pathline.h"
#include "text/textops.h"

namespace clean {
namespace {

QString errnoText(int error) {
  switch (error) {
    case ENOSPC:
      return QStringLiteral(u"磁盘空间不足。");
    case EDQUOT:
      return QStringLiteral(u"超出了磁盘配额。");
    case EFBIG:
      return QStringLiteral(u"文件超出了允许的大小。");
    case EIO:
      return QStringLiteral(u"读写磁盘时出错。");
    case EROFS:
      return QStringLiteral(u"磁盘是只读的。");
    case EACCES:
    case EPERM:
      return QStringLiteral(u"没有权限。");
    case ETXTBSY:
      return QStringLiteral(u"文件正作为程序运行，不能改写。");
    case ENAMETOOLONG:
      return QStringLiteral(u"路径太长。");
    case ELOOP:
      return QStringLiteral(u"路径中的符号链接太多。");
    case EMFILE:
    case ENFILE:
      return QStringLiteral(u"打开的文件太多。");
    case ENOMEM:
      return QStringLiteral(u"内存不足。");
    default:
      return QStringLiteral(u"系统错误：") + platform::errorText(error) + QStringLiteral(u"。");
  }
}

// A path as long as a results box can hold (a line of junk, a megabyte) would
// make a message box nobody can read: its start and end are shown, and its length.
QString shownPath(const QString& path) {
  constexpr qsizetype kLongest = 600;
  constexpr qsizetype kEachEnd = 280;
  if (path.size() <= kLongest)
    return path;
  return path.left(kEachEnd) + QStringLiteral(u"……") + path.right(kEachEnd) +
         QStringLiteral(u"（路径共 %1 个字符）").arg(path.size());
}

}  // namespace

QString reasonText(const Failure& f) {
  switch (f.reason) {
    case Reason::EmptyPath:
      return QStringLiteral(u"路径是空的。");
    case Reason::NotAFilePath:
      return QStringLiteral(u"这不是一个文件的路径。");
    case Reason::NoFolder:
      return QStringLiteral(u"文件所在的文件夹不存在。");
    case Reason::NotFound:
      return QStringLiteral(u"文件不存在。");
    case Reason::SymbolicLink:
      return QStringLiteral(u"这是一个符号链接；为了安全，清除时不经链接改写文件。");
    case Reason::Folder:
      return QStringLiteral(u"这是一个文件夹，不是文件。");
    case Reason::NotRegular:
      return QStringLiteral(u"这不是普通文件。");
    case Reason::NoReadPermission:
      return QStringLiteral(u"没有读取这个文件的权限。");
    case Reason::ReadOnly:
      return QStringLiteral(u"文件是只读的。");
    case Reason::ReadOnlyMedium:
      return QStringLiteral(u"文件所在的磁盘是只读的。");
    case Reason::FolderNotWritable:
      return QStringLiteral(u"不能在文件所在的文件夹中写入新文件。");
    case Reason::Changed:
      return QStringLiteral(u"清除期间文件被别的程序替换或改动了。");
    case Reason::NotScannedFile:
      return QStringLiteral(
          u"扫描之后这个路径被改动过，现在指向的不是扫描时找到的那个文件（可能被换成了别的文件、"
          u"文件夹或符号链接）；为了安全，没有清除。");
    case Reason::UntrustedLink:
      return QStringLiteral(u"路径经过符号链接“") + shownPath(platform::lineOfBytes(f.link)) +
             QStringLiteral(
                 u"”，它所在的文件夹除了管理员和你以外别人也能改动，这个链接可能是别人放的；"
                 u"为了安全，不经这个链接清除。");
    case Reason::BackupFailed:
      return QStringLiteral(u"无法保存这个文件的备份（") +
             (f.error == ELOOP || f.error == EEXIST
                  ? QStringLiteral(u"备份的位置被符号链接或别的文件占用了")
                  : errnoText(f.error).chopped(1)) +
             QStringLiteral(u"）；为了能够恢复，没有备份的文件不清除。");
    case Reason::System:
      break;
  }
  return errnoText(f.error);
}

QString failureMessage(const QString& path, const Failure& f) {
  QString outcome;
  switch (f.outcome) {
    case Outcome::Unchanged:
      outcome = QStringLiteral(u"这个文件没有改动，列表中它后面的文件也没有处理。");
      break;
    case Outcome::ReplacedUnsynced:
      outcome = f.alsoReplaced > 0
                    ? QStringLiteral(
                          u"这个文件和列表中紧跟它的 %1 个文件已经清除，但不能确定已写入磁盘；"
                          u"再后面的文件没有处理。")
                          .arg(f.alsoReplaced)
                    : QStringLiteral(
                          u"这个文件已经清除，但不能确定已写入磁盘；列表中它后面的文件没有处理。");
      break;
    case Outcome::Damaged:
      outcome =
          QStringLiteral(u"这个文件可能已损坏，列表中它后面的文件没有处理。它原来的内容保存在：") +
          platform::lineOfBytes(f.backup);
      break;
  }
  QString m = QStringLiteral(u"清除网马时出错，已停止清除。");
  m += text::kCrLf;
  m += QStringLiteral(u"文件：") + shownPath(path);
  m += text::kCrLf;
  m += QStringLiteral(u"原因：") + reasonText(f);
  m += text::kCrLf;
  m += outcome;
  return m;
}

QString failureFacts(const QString& path, const Failure& f) {
  QString m = QStringLiteral(u"文件：") + shownPath(path);
  m += text::kCrLf;
  m += QStringLiteral(u"原因：") + reasonText(f);
  m += text::kCrLf;
  switch (f.outcome) {
    case Outcome::Unchanged:
      m += QStringLiteral(u"这个文件没有改动。");
      break;
    case Outcome::ReplacedUnsynced:
      m += QStringLiteral(u"这个文件已经清除，但不能确定已写入磁盘。");
      break;
    case Outcome::Damaged:
      m += QStringLiteral(u"这个文件可能已损坏，它原来的内容保存在：") +
           platform::lineOfBytes(f.backup);
      break;
  }
  return m;
}

}  // namespace clean
