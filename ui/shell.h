// The desktop's shell: showing a file in the user's file manager and opening a
// web page in the user's browser. Both start the program and return at once.
// The windows call them through `Shell`, so tests can record the calls instead
// of launching anything.
#pragma once

#include <QString>
#include <QStringView>

#include <functional>

class QObject;

namespace platform {

// The file URI of an absolute path, built from the path's exact bytes: every byte
// outside the unreserved set and "/" is percent-encoded, so names that are not
// UTF-8 reach the file manager intact.
QString fileUri(QStringView absolutePath);

// A path as the file manager must get it: relative paths (the empty one too) are
// taken against the process's current directory.
QString absolutePathOf(QStringView path);

// Called when no program could show what was asked: it could not be started, or
// it ended with a failure.
using Failure = std::function<void()>;

// Both calls return at once and never wait for the program. `failed` runs later,
// from the event loop and only while `context` exists.
class Shell {
 public:
  virtual ~Shell() = default;
  // Shows the file at `path` selected in a file manager window.
  virtual void showFileInManager(const QString& path, QObject* context, Failure failed) = 0;
  // Opens `url` in the user's browser.
  virtual void openUrl(const QString& url, QObject* context, Failure failed) = 0;
};

// The desktop's own shell: the file manager through the freedesktop FileManager1
// interface on the session bus, falling back to the folder opened with
// xdg-open; the browser through xdg-open. A program still running when Tervane
// ends is left running.
Shell& systemShell();

}  // namespace platform
