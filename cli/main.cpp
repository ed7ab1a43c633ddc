// tervane-cli: the scan and the clean of the main window, from a shell.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QStringDecoder>

#include <cerrno>
#include <cstring>
#include <optional>

#include "app/cleaner.h"
#include "app/scanner.h"
#include "cli/clistate.h"
#include "platform/pathcodec.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;

namespace {

// The filter box's text when the main window opens.
constexpr QStringView kDefaultFilter = u"*.ASP|*.PHP|*.JS";

constexpr int kUsage = 2;

const char kHelp[] =
    "Usage:\n"
    "  tervane-cli scan [--filter TEXT] (--signature TEXT | --signature-file FILE)\n"
    "                   [-j N] LOCATION\n"
    "  tervane-cli clean (--signature TEXT | --signature-file FILE) [LOG]\n"
    "  tervane-cli --help | --version\n"
    "\n"
    "scan    Walks LOCATION (a folder, a drive entry such as \"/home:\", or\n"
    "        \"全盘扫描\" for every drive) and prints the path of every file whose\n"
    "        path holds a fragment of the filter and whose GBK content, compared\n"
    "        in lower case, holds the signature: one line per detection, in walk\n"
    "        order, the bytes of the name as on disk.\n"
    "        Exit status: 0 nothing found, 1 something found, 2 error.\n"
    "clean   Rewrites each file listed in LOG (one path per line; standard input\n"
    "        when LOG is absent or \"-\") with every occurrence of the signature\n"
    "        removed, and prints the cleaning log. Stops at the first file that\n"
    "        fails. Exit status: 0 every file cleaned, 2 error.\n"
    "\n"
    "Options:\n"
    "  --signature TEXT       the signature (trimmed of spaces, compared in lower case)\n"
    "  --signature-file FILE  the signature from a UTF-8 file, line ends as they are\n"
    "  --filter TEXT          file types, as in the window (default \"*.ASP|*.PHP|*.JS\")\n"
    "  -j, --jobs N           threads that read and match files (default: the number\n"
    "                         of cores); the output does not depend on it\n"
    "  -h, --help             this help\n"
    "  --version              the version\n";

QByteArray local(const QString& s) {
  return platform::encodePath(s);
}

[[noreturn]] void fail(cli::Sink& err, const QString& why, int status = kUsage) {
  err.write("tervane-cli: " + local(why) + '\n');
  std::exit(status);
}

[[noreturn]] void usageError(cli::Sink& err, const QString& why) {
  err.write("tervane-cli: " + local(why) + "\nTry 'tervane-cli --help'.\n");
  std::exit(kUsage);
}

// The cores this process may run on.
int coreCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0)
    return std::max(1, CPU_COUNT(&set));
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 && online < 1024 ? int(online) : 1;
}

// The whole content of a file (or of standard input for "-"), or an error text.
std::optional<QByteArray> readAll(const QString& path, QString& error) {
  const bool stdinput = path == u"-";
  const int fd = stdinput ? STDIN_FILENO : ::open(local(path).constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = path + u": "_s + QString::fromLocal8Bit(std::strerror(errno));
    return std::nullopt;
  }
  QByteArray out;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      error = path + u": "_s + QString::fromLocal8Bit(std::strerror(errno));
      if (!stdinput)
        ::close(fd);
      return std::nullopt;
    }
    if (n == 0)
      break;
    out.append(buf, n);
  }
  if (!stdinput)
    ::close(fd);
  return out;
}

std::optional<QString> utf8(const QByteArray& bytes) {
  QStringDecoder decoder(QStringDecoder::Utf8);
  QString s = decoder.decode(bytes);
  if (decoder.hasError())
    return std::nullopt;
  return s;
}

struct Common {
  QCommandLineOption signature{u"signature"_s, u"signature"_s, u"TEXT"_s};
  QCommandLineOption signatureFile{u"signature-file"_s, u"signature file"_s, u"FILE"_s};
  QCommandLineOption help{{u"h"_s, u"help"_s}, u"help"_s};
};

// Parses the arguments after the command; exits on a usage error.
void parse(QCommandLineParser& parser, const QStringList& args, cli::Sink& out, cli::Sink& err,
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
    std::exit(0);
  }
}

// The signature box's text from --signature or --signature-file.
QString signatureBox(const QCommandLineParser& parser, const Common& c, cli::Sink& err) {
  const bool text = parser.isSet(c.signature);
  const bool file = parser.isSet(c.signatureFile);
  if (text == file)
    usageError(err, u"give either --signature or --signature-file"_s);
  if (parser.values(text ? c.signature : c.signatureFile).size() > 1)
    usageError(err, u"give the signature once"_s);
  QByteArray bytes;
  if (text) {
    bytes = local(parser.value(c.signature));
  } else {
    QString error;
    const std::optional<QByteArray> content = readAll(parser.value(c.signatureFile), error);
    if (!content)
      fail(err, error);
    bytes = *content;
  }
  const std::optional<QString> s = utf8(bytes);
  if (!s)
    fail(err, u"the signature is not UTF-8 text"_s);
  return *s;
}

int runScan(const QStringList& args, cli::Sink& out, cli::Sink& err) {
  QCommandLineParser parser;
  const Common c;
  const QCommandLineOption filter(u"filter"_s, u"filter"_s, u"TEXT"_s);
  const QCommandLineOption jobs({u"j"_s, u"jobs"_s}, u"threads"_s, u"N"_s);
  parser.addOption(filter);
  parser.addOption(jobs);
  parse(parser, args, out, err, c);
  const QStringList positional = parser.positionalArguments();
  if (positional.size() != 1)
    usageError(err, u"scan takes one LOCATION"_s);
  if (parser.values(filter).size() > 1 || parser.values(jobs).size() > 1)
    usageError(err, u"an option is given twice"_s);

  int threads = coreCount();
  if (parser.isSet(jobs)) {
    bool ok = false;
    threads = parser.value(jobs).toInt(&ok);
    if (!ok || threads < 1 || threads > 1024)
      usageError(err, u"-j takes a number of threads from 1 to 1024"_s);
  }

  cli::CliWindowState w(out, err, ::isatty(STDERR_FILENO) == 1);
  w.Text3 = signatureBox(parser, c, err);
  w.Combo1 = positional.front();
  w.Combo2 = parser.isSet(filter) ? parser.value(filter) : kDefaultFilter.toString();
  w.threads = threads;
  Scanner scanner(w);
  scanner.Command1_Click();
  w.clearProgress();
  if (out.failed())
    fail(err, u"standard output: "_s + QString::fromLocal8Bit(std::strerror(out.error())));
  if (w.messageShown())
    return 2;
  return w.appended() > 0 ? 1 : 0;
}

int runClean(const QStringList& args, cli::Sink& out, cli::Sink& err) {
  QCommandLineParser parser;
  const Common c;
  parse(parser, args, out, err, c);
  const QStringList positional = parser.positionalArguments();
  if (positional.size() > 1)
    usageError(err, u"clean takes at most one LOG"_s);
  const QString signature = signatureBox(parser, c, err);

  QString error;
  const std::optional<QByteArray> log =
      readAll(positional.isEmpty() ? u"-"_s : positional.front(), error);
  if (!log)
    fail(err, error);
  // One path per line; a CR before the LF belongs to the line end. A last line
  // without LF is a path as well.
  QString text1;
  QList<QByteArray> lines = log->split('\n');
  if (lines.back().isEmpty())
    lines.removeLast();
  for (QByteArray& line : lines) {
    if (line.endsWith('\r'))
      line.chop(1);
    text1 += platform::decodePath(line);
    text1 += text::kCrLf;
  }

  cli::CliWindowState w(out, err, false);
  w.Text3 = signature;
  w.setResultsText(text1);
  Cleaner cleaner(w);
  cleaner.Command2_Click();
  if (out.failed())
    fail(err, u"standard output: "_s + QString::fromLocal8Bit(std::strerror(out.error())));
  return w.messageShown() ? 2 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  cli::Sink out(STDOUT_FILENO);
  cli::Sink err(STDERR_FILENO);
  // Arguments are bytes: names that are not UTF-8 survive as they are.
  QStringList args;
  for (int i = 0; i < argc; ++i)
    args.append(platform::decodePath(QByteArrayView(argv[i])));

  const QString command = args.value(1);
  if (command == u"--help" || command == u"-h") {
    out.write(kHelp);
    return 0;
  }
  if (command == u"--version") {
    out.write("tervane-cli " TERVANE_VERSION "\n");
    return 0;
  }
  // The parser takes the program's name first.
  QStringList rest = args.mid(2);
  rest.prepend(args.value(0));
  if (command == u"scan")
    return runScan(rest, out, err);
  if (command == u"clean")
    return runClean(rest, out, err);
  usageError(err, command.isEmpty() ? u"no command"_s : u"unknown command: "_s + command);
}
