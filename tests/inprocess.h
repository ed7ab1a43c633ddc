// tervane-cli's commands run in this process through cli::run, with what they
// write to standard output and standard error caught.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <QByteArray>
#include <QStringList>

#include "cli/common.h"
#include "cli/sink.h"
#include "platform/fd.h"

namespace inprocess {

// One stream of a command, caught in a memory file.
class Captured {
 public:
  Captured() : fd_(::memfd_create("tervane-inprocess", MFD_CLOEXEC)), sink_(fd_.get()) {}
  cli::Sink& sink() { return sink_; }
  QByteArray text() const {
    QByteArray out;
    char buf[65536];
    ssize_t n;
    for (off_t at = 0; (n = ::pread(fd_.get(), buf, sizeof buf, at)) > 0; at += n)
      out.append(buf, n);
    return out;
  }

 private:
  platform::UniqueFd fd_;
  cli::Sink sink_;
};

struct CliRun {
  int status;
  QByteArray out;
  QByteArray err;
};

// Runs one command; `args` without the program's name.
inline CliRun runCli(QStringList args) {
  args.prepend(QStringLiteral("tervane-cli"));
  Captured out, err;
  const int status = cli::run(args, out.sink(), err.sink());
  return {status, out.text(), err.text()};
}

}  // namespace inprocess
