#include "cli/common.h"

#include <fcntl.h>
#include <unistd.h>

#include <QStringDecoder>

#include <cerrno>
#include <cstring>

#include "platform/fd.h"
#include "platform/pathcodec.h"

using namespace Qt::StringLiterals;

namespace cli {

const char kHelp[] =
    "Usage:\n"
    "  tervane-cli scan [--filter TEXT] (--signature TEXT | --signature-file FILE)\n"
    "                   [-j N] [--json] LOCATION\n"
    "  tervane-cli clean (--signature TEXT | --signature-file FILE) [--dry-run]\n"
    "                    [--json] [LOG | --report FILE]\n"
    "  tervane-cli --help | --version\n"
    "\n"
    "scan    Walks LOCATION (a folder, a drive entry such as \"/home:\", or\n"
    "        \"全盘扫描\" for every drive) and prints the path of every file whose\n"
    "        path holds a fragment of the filter and whose GBK content, compared\n"
    "        in lower case, holds the signature: one line per detection, in walk\n"
    "        order, the bytes of the name as on disk. Dot files and dot folders\n"
    "        are scanned too; files that cannot be read are named on standard\n"
    "        error. Exit status: 0 nothing found, 1 something found, 2 error\n"
    "        (a file that could not be read counts as an error, also after a find).\n"
    "clean   Rewrites each file listed in LOG (one path per line; standard input\n"
    "        when LOG is absent or \"-\") with every occurrence of the signature\n"
    "        removed, and prints the cleaning log. Stops at the first file that\n"
    "        fails. Exit status: 0 every file cleaned, 2 error.\n"
    "        --report FILE takes the files from a scan's --json report, each only\n"
    "        while it is still the file the scan read. --dry-run changes nothing\n"
    "        and prints what each file would lose (byte ranges) or \"unchanged\".\n"
    "\n"
    "Options:\n"
    "  --signature TEXT       the signature (trimmed of spaces, compared in lower case)\n"
    "  --signature-file FILE  the signature from a UTF-8 file, line ends as they are\n"
    "  --filter TEXT          file types, as in the window (default \"*.ASP|*.PHP|*.JS\")\n"
    "  --json                 JSON Lines on standard output (schema: man tervane-cli)\n"
    "  -j, --jobs N           threads that read and match files (default: the number\n"
    "                         of cores); the output does not depend on it\n"
    "  -h, --help             this help\n"
    "  --version              the version\n";

QByteArray local(const QString& s) {
  return platform::encodePath(s);
}

void fail(Sink& err, const QString& why, int status) {
  err.write("tervane-cli: " + local(why) + '\n');
  throw Exit{status};
}

void usageError(Sink& err, const QString& why) {
  err.write("tervane-cli: " + local(why) + "\nTry 'tervane-cli --help'.\n");
  throw Exit{kError};
}

QByteArray readAllOrFail(const QString& path, Sink& err) {
  const bool stdinput = path == u"-";
  platform::UniqueFd owned;
  if (!stdinput)
    owned.reset(::open(local(path).constData(), O_RDONLY | O_CLOEXEC));
  const int fd = stdinput ? STDIN_FILENO : owned.get();
  auto failed = [&] { fail(err, path + u": "_s + QString::fromLocal8Bit(std::strerror(errno))); };
  if (fd < 0)
    failed();
  QByteArray out;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      failed();
    if (n == 0)
      break;
    out.append(buf, n);
  }
  return out;
}

void parse(QCommandLineParser& parser, const QStringList& args, Sink& out, Sink& err,
           const Common& c) {
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
  parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
  parser.addOption(c.signature);
  parser.addOption(c.signatureFile);
  parser.addOption(c.help);
  if (!parser.parse(args))
    usageError(err, parser.errorText());
  if (parser.isSet(c.help)) {
    out.write(kHelp);
    throw Exit{kOk};
  }
}

QString signatureBox(const QCommandLineParser& parser, const Common& c, Sink& err) {
  const bool text = parser.isSet(c.signature);
  const bool file = parser.isSet(c.signatureFile);
  if (text == file)
    usageError(err, u"give either --signature or --signature-file"_s);
  if (parser.values(text ? c.signature : c.signatureFile).size() > 1)
    usageError(err, u"give the signature once"_s);
  const QByteArray bytes =
      text ? local(parser.value(c.signature)) : readAllOrFail(parser.value(c.signatureFile), err);
  QStringDecoder decoder(QStringDecoder::Utf8);
  QString s = decoder.decode(bytes);
  if (decoder.hasError())
    fail(err, u"the signature is not UTF-8 text"_s);
  return s;
}

void checkOutput(const Sink& out, Sink& err) {
  if (out.failed())
    fail(err, u"standard output: "_s + QString::fromLocal8Bit(std::strerror(out.error())));
}

int run(const QStringList& args, Sink& out, Sink& err) {
  const QString command = args.value(1);
  if (command == u"--help" || command == u"-h") {
    out.write(kHelp);
    return kOk;
  }
  if (command == u"--version") {
    out.write("tervane-cli " TERVANE_VERSION "\n");
    return kOk;
  }
  // The parser takes the program's name first.
  QStringList rest = args.mid(2);
  rest.prepend(args.value(0));
  try {
    if (command == u"scan")
      return runScan(rest, out, err);
    if (command == u"clean")
      return runClean(rest, out, err);
    usageError(err, command.isEmpty() ? u"no command"_s : u"unknown command: "_s + command);
  } catch (const Exit& e) {
    return e.status;
  }
}

}  // namespace cli
