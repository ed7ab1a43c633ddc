// tervane-cli: the scan and the clean of the main window, from a shell.
#include <unistd.h>

#include "cli/common.h"
#include "platform/pathcodec.h"

int main(int argc, char** argv) {
  cli::Sink out(STDOUT_FILENO);
  cli::Sink err(STDERR_FILENO);
  // Arguments are bytes: names that are not UTF-8 survive as they are.
  QStringList args;
  for (int i = 0; i < argc; ++i)
    args.append(platform::decodePath(QByteArrayView(argv[i])));
  return cli::run(args, out, err);
}
