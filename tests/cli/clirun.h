// Runs the built tervane-cli as a child process, as a user's shell would.
#pragma once

#include <QByteArray>

#include <vector>

namespace clirun {

struct Result {
  QByteArray out;
  QByteArray err;
  QByteArray terminal;  // what the pseudo-terminal showed
  int status = -1;      // the exit status; -1 when killed
  long maxRssKb = 0;
  double seconds = 0;
};

// Which of the standard outputs go to a pseudo-terminal (read into `terminal`).
enum class Tty { None, Err, OutAndErr };

// Runs tervane-cli with raw-byte arguments and `input` on standard input; the
// child is killed after `limitSeconds`.
Result run(std::vector<QByteArray> args, const QByteArray& input = {}, Tty tty = Tty::None,
           int limitSeconds = 60);

}  // namespace clirun
