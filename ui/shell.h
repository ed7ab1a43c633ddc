// The desktop's shell: showing a file in the user's file manager and opening a
// web page in the user's browser. Both start the program and return at once.
// The windows call them through `Shell`, so tests can record the calls instead
// of launching anything.
#pragma once

#include <QString>
#include <QStringView>

namespace platform {

// The file URI of an absolute path, built from the path's exact bytes: every byte
// outside the unreserved set and "/" is percent-encoded, so names that are not
// UTF-8 reach the file manager intact.
QString fileUri(QStringView absolutePath);

// A path as the file manager must get it: relative paths (the empty one too) are
// taken against the process's current directory.
QString absolutePathOf(QStringView path);

class Shell {
 public:
  virtual ~Shell() = default;
  // Shows the file at `path` selected in a file manager window. False when no
  // program could be started.
  virtual bool showFileInManager(const QString& path) = 0;
  // Opens `url` in the user's browser. False when no program could be started.
  virtual bool openUrl(const QString& url) = 0;
};

// The desktop's own shell: the file manager through the freedesktop FileManager1
// interface on the session bus, falling back to the folder opened with
// xdg-open; the browser through xdg-open.
Shell& systemShell();

}  // namespace platform
