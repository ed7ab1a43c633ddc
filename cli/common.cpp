#include "cli/common.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/fd.h"
#include "platform/pathcodec.h"
#include "platform/pathline.h"
#include "text/signatureset.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;

namespace cli {

namespace {

// Whether `tail` is the start of a UTF-8 sequence that the end cuts off: a lead
// byte followed by fewer continuation bytes than it announces, and nothing else.
bool isCutOff(QByteArrayView tail) {
  const auto lead = uint8_t(tail[0]);
  const qsizetype length = lead >= 0xF0 && lead <= 0xF4   ? 4
                           : lead >= 0xE0 && lead <= 0xEF ? 3
                           : lead >= 0xC2 && lead <= 0xDF ? 2
                                                          : 0;
  if (length == 0 || tail.size() >= length)
    return false;
  for (qsizetype i = 1; i < tail.size(); ++i) {
    if ((uint8_t(tail[i]) & 0xC0) != 0x80)
      return false;
  }
  return true;
}

}  // namespace

const char kHelp[] =
    "Usage:\n"
    "  tervane-cli scan [--filter TEXT] (--signature TEXT | --signature-file FILE)\n"
    "                   [--signatures FILE] [--no-cache]\n"
    "                   [--encoding auto|gbk|utf-8] [--exact-line-ends] [-j N] [-0]\n"
    "                   [--json] LOCATION\n"
    "  tervane-cli clean (--signature TEXT | --signature-file FILE) [--signatures FILE]\n"
    "                    [--encoding auto|gbk|utf-8] [--exact-line-ends] [-0]\n"
    "                    [--no-backup] [--quarantine] [--dry-run] [--no-cache]\n"
    "                    [--json] [LOG | --report FILE]\n"
    "  tervane-cli restore [--force] [--json] [RUN]\n"
    "  tervane-cli backups [--prune DAYS]\n"
    "  tervane-cli watch [--filter TEXT] (--signature TEXT | --signature-file FILE)\n"
    "                    [--signatures FILE] [--no-cache]\n"
    "                    [--encoding auto|gbk|utf-8] [--json] [--clean] [--initial-scan]\n"
    "                    [--inotify] [--settle MS] [-j N] [--config FILE] FOLDER...\n"
    "  tervane-cli report [--html] [--title TEXT] REPORT.jsonl...\n"
    "  tervane-cli --help | --version\n"
    "\n"
    "scan    Walks LOCATION (a folder, a drive entry such as \"/home:\", or\n"
    "        \"全盘扫描\" for every drive) and prints the path of every file whose\n"
    "        path holds a fragment of the filter and whose content, compared in\n"
    "        lower case, holds the signature: one line per detection, in walk\n"
    "        order. A path that is UTF-8 text without control or invisible\n"
    "        characters and does not begin with '\"' is printed as it is; any other\n"
    "        is quoted, C-style: \"/www/a\\nb.php\", \"/www/\\x8C.php\",\n"
    "        \"/www/index\\u{200B}.php\", a GBK name as \"/www/\\g名.php\".\n"
    "        Dot files and dot folders are scanned too; files that cannot be read\n"
    "        are named on standard error. Exit status: 0 nothing found, 1 something\n"
    "        found, 2 error (a file that could not be read counts as an error, also\n"
    "        after a find).\n"
    "clean   Rewrites each file listed in LOG (one path per line, as scan prints\n"
    "        them; standard input when LOG is absent or \"-\") with every\n"
    "        occurrence of the signature removed (in any letter case, as the scan\n"
    "        finds it), and prints the cleaning log. Stops at the first file that\n"
    "        fails. Each file's original is saved in the backup store first\n"
    "        (~/.local/share/tervane/backups) unless --no-backup is given.\n"
    "        A file holding a set member whose action is quarantine (or, with\n"
    "        --quarantine, the signature) is taken out whole instead, its\n"
    "        original kept in the backup store for restore.\n"
    "        Exit status: 0 every file cleaned, 2 error.\n"
    "        --report FILE takes the files from a scan's --json report, each only\n"
    "        while it is still the file the scan read. --dry-run changes nothing\n"
    "        and prints what each file would lose (byte ranges) or \"unchanged\".\n"
    "restore Puts back the originals of the latest clean, or of the run named\n"
    "        (see backups). A file changed since the clean is not overwritten\n"
    "        unless --force is given. Exit status: 0 every file back, 2 error.\n"
    "backups Lists the runs in the backup store: time, files, bytes, complete\n"
    "        or not. --prune DAYS removes the runs older than DAYS days.\n"
    "watch   Tests every file in scope that is written or moved into the\n"
    "        FOLDERs once it has settled (--settle MS after its last event,\n"
    "        default 200) and prints each infected one as scan does, or as\n"
    "        --json objects with the time of detection. As root fanotify is\n"
    "        used, otherwise (or with --inotify) one inotify watch per folder.\n"
    "        When the kernel's queue overflows the folders are scanned again.\n"
    "        --initial-scan scans them once at start; --clean cleans each file\n"
    "        found at once, with a backup (see restore). --config FILE reads\n"
    "        folder, signature-file, filter, encoding, clean and initial-scan\n"
    "        from \"key = value\" lines. Runs until SIGTERM or SIGINT (a clean\n"
    "        in progress finishes its file). Exit status: 0 stopped, 2 error.\n"
    "report  Reads the --json reports of scan, clean and watch, one or more per\n"
    "        server (reports/HOST/scan.jsonl names the server HOST, web1.jsonl\n"
    "        names it web1), and prints the totals, the first and last change\n"
    "        time of an infected file and the folders most hit; --html writes\n"
    "        one self-contained page instead, with a timeline and a sortable\n"
    "        table of the files. Exit status: 0, or 2 for a line that is not JSON.\n"
    "\n"
    "Options:\n"
    "  --signature TEXT       the signature (trimmed of spaces, compared in lower case)\n"
    "  --signature-file FILE  the signature from a UTF-8 file of at most 1 MiB, line\n"
    "                         ends as they are\n"
    "  --signatures FILE      a set of signatures (JSON Lines: \"name\", \"text\",\n"
    "                         \"comment\"); with several --signature and\n"
    "                         --signature-file, all join one set (man tervane-cli)\n"
    "  --no-cache             build the set afresh: neither read from nor kept in\n"
    "                         the set cache (~/.local/share/tervane/sets)\n"
    "  --filter TEXT          file types, as in the window (default \"*.ASP|*.PHP|*.JS\")\n"
    "  --json                 JSON Lines on standard output (schema: man tervane-cli)\n"
    "  --encoding NAME        how file contents are read: auto (the default) reads\n"
    "                         a file as UTF-8 when its valid UTF-8 characters of\n"
    "                         2 to 4 bytes outnumber its invalid bytes (or it has\n"
    "                         none), as GBK otherwise; gbk or utf-8 read every\n"
    "                         file so (the scan and the clean read a file alike)\n"
    "  --exact-line-ends      a line break of the signature matches only the same\n"
    "                         bytes (default: CR LF, CR or LF matches any of them)\n"
    "  -j, --jobs N           threads that read and match files (default: the number\n"
    "                         of cores); the output does not depend on it\n"
    "  -0, --null             scan: print each path's exact bytes followed by a NUL,\n"
    "                         for xargs -0; clean: read such paths\n"
    "  -h, --help             this help\n"
    "  --version              the version\n";

QByteArray local(const QString& s) {
  return platform::encodePath(s);
}

QString shown(const QString& path) {
  return platform::lineOfPath(path);
}

void fail(Sink& err, const QString& why, int status) {
  err.write("tervane-cli: " + platform::visibleText(why).toUtf8() + '\n');
  throw Exit{status};
}

void usageError(Sink& err, const QString& why) {
  err.write("tervane-cli: " + platform::visibleText(why).toUtf8() +
            "\nTry 'tervane-cli --help'.\n");
  throw Exit{kError};
}

platform::UniqueFd openInputOrFail(const QString& path, Sink& err) {
  platform::UniqueFd fd(path == u"-" ? ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)
                                     : ::open(local(path).constData(), O_RDONLY | O_CLOEXEC));
  if (!fd)
    fail(err, shown(path) + u": "_s + platform::errorText(errno));
  return fd;
}

QByteArray readAllOrFail(const QString& path, Sink& err, qsizetype limit) {
  const platform::UniqueFd fd = openInputOrFail(path, err);
  QByteArray out;
  char buf[65536];
  for (;;) {
    // Never more than one byte past the limit: enough to tell that it is passed.
    const std::size_t want =
        limit < 0 ? sizeof buf : std::min(sizeof buf, std::size_t(limit - out.size() + 1));
    const ssize_t n = ::read(fd.get(), buf, want);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      fail(err, shown(path) + u": "_s + platform::errorText(errno));
    if (n == 0)
      break;
    out.append(buf, n);
    if (limit >= 0 && out.size() > limit)
      break;
  }
  return out;
}

void parse(QCommandLineParser& parser, const QStringList& args, Sink& out, Sink& err,
           const Common& c) {
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
  parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
  parser.addOption(c.signature);
  parser.addOption(c.signatureFile);
  parser.addOption(c.encoding);
  parser.addOption(c.exactLineEnds);
  parser.addOption(c.help);
  if (!parser.parse(args))
    usageError(err, parser.errorText());
  if (parser.isSet(c.help)) {
    out.write(kHelp);
    throw Exit{kOk};
  }
}

QString typedSignature(const QCommandLineParser& parser, const Common& c, Sink& err) {
  const bool text = parser.isSet(c.signature);
  const bool file = parser.isSet(c.signatureFile);
  if (text == file)
    usageError(err, u"give either --signature or --signature-file"_s);
  if (parser.values(text ? c.signature : c.signatureFile).size() > 1)
    usageError(err, u"give the signature once"_s);
  QByteArray bytes = text ? local(parser.value(c.signature))
                          : readAllOrFail(parser.value(c.signatureFile), err, kSignatureFileLimit);
  if (!text && bytes.size() > kSignatureFileLimit) {
    fail(err, u"the signature file "_s + shown(parser.value(c.signatureFile)) +
                  u" is larger than 1 MiB (%1 bytes), the most a signature may take"_s.arg(
                      kSignatureFileLimit));
  }
  // A byte-order mark is not part of the text.
  if (bytes.startsWith("\xEF\xBB\xBF"))
    bytes.remove(0, 3);
  // UTF-8 to the last byte: a character cut off at the end would otherwise be
  // dropped, and the clean would remove a shorter text than the one given.
  if (const qsizetype bad = platform::invalidUtf8At(bytes); bad >= 0) {
    const QString where =
        text ? u"the signature"_s : u"the signature file "_s + shown(parser.value(c.signatureFile));
    if (isCutOff(QByteArrayView(bytes).sliced(bad))) {
      fail(err, where + u" is not UTF-8 text: its last character is cut off"_s);
    }
    fail(err, where + u" is not UTF-8 text: byte %1 is not part of a character"_s.arg(bad + 1));
  }
  const QString signature = QString::fromUtf8(bytes);
  if (text::isSignatureSet(text::trim(signature))) {
    fail(err, (text ? u"the signature"_s
                    : u"the signature file "_s + shown(parser.value(c.signatureFile))) +
                  u" begins with U+FDD0 U+FDD1, which are kept for signature sets"_s);
  }
  return signature;
}

text::Encoding contentEncoding(const QCommandLineParser& parser, const Common& c, Sink& err) {
  if (!parser.isSet(c.encoding))
    return text::Encoding::Auto;
  const QStringList values = parser.values(c.encoding);
  const std::optional<text::Encoding> e = text::encodingNamed(values.back());
  if (values.size() > 1 || !e)
    usageError(err, u"--encoding takes one of auto, gbk, utf-8"_s);
  return *e;
}

text::LineEnds contentLineEnds(const QCommandLineParser& parser, const Common& c) {
  return parser.isSet(c.exactLineEnds) ? text::LineEnds::Exact : text::LineEnds::Any;
}

void tell(Sink& err, const QString& text) {
  QByteArray line = platform::visibleLines(text).toUtf8();
  if (!line.endsWith('\n'))
    line += '\n';
  err.write(line);
}

void checkOutput(const Sink& out, Sink& err) {
  if (out.failed())
    fail(err, u"standard output: "_s + platform::errorText(out.error()));
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
    if (command == u"restore")
      return runRestore(rest, out, err);
    if (command == u"backups")
      return runBackups(rest, out, err);
    if (command == u"watch")
      return runWatch(rest, out, err);
    if (command == u"report")
      return runReport(rest, out, err);
    usageError(err, command.isEmpty() ? u"no command"_s : u"unknown command: "_s + command);
  } catch (const Exit& e) {
    return e.status;
  }
}

}  // namespace cli
