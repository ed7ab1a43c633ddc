// What the commands of tervane-cli share: the exit statuses, errors that end a
// command, the arguments every command takes, and reading input files.
#pragma once

#include <QByteArray>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include "cli/sink.h"
#include "platform/fd.h"
#include "text/encoding.h"
#include "text/lineends.h"

namespace cli {

// Exit statuses: the same scheme for every command, following grep.
inline constexpr int kOk = 0;
inline constexpr int kFound = 1;
inline constexpr int kError = 2;

// Ends the command with `status`; its message has been written already. Thrown
// rather than exiting, so that every destructor runs and tests can run commands
// in-process.
struct Exit {
  int status = kError;
};

// "tervane-cli: WHY" on standard error, then ends the command. WHY may hold
// paths or a signature: characters a terminal would act on are written escaped.
[[noreturn]] void fail(Sink& err, const QString& why, int status = kError);
// A message as the window would show it, on its own lines: it may name a path or
// a signature someone else chose, so only its own line breaks (CR LF) become lines.
void tell(Sink& err, const QString& text);
// The same with a hint at --help.
[[noreturn]] void usageError(Sink& err, const QString& why);

// The bytes a text stands for on the command line and in the file system.
QByteArray local(const QString& s);
// A path from the command line as messages show it: its one line.
QString shown(const QString& path);

// The largest signature file, in bytes: a signature is a piece of text pasted
// into a box, and a larger file (or /dev/zero) is a mistake, not a signature.
inline constexpr qsizetype kSignatureFileLimit = 1024 * 1024;
// The longest line of a log that clean reads, in bytes: room for a path
// hundreds of thousands of folders deep, written with every byte escaped.
inline constexpr qsizetype kLogLineLimit = 4 * 1024 * 1024;

// The options every command takes: the signature and help.
struct Common {
  QCommandLineOption signature{QStringLiteral("signature"), QStringLiteral("signature"),
                               QStringLiteral("TEXT")};
  QCommandLineOption signatureFile{QStringLiteral("signature-file"),
                                   QStringLiteral("signature file"), QStringLiteral("FILE")};
  QCommandLineOption encoding{QStringLiteral("encoding"), QStringLiteral("encoding"),
                              QStringLiteral("auto|gbk|utf-8")};
  QCommandLineOption exactLineEnds{QStringLiteral("exact-line-ends"),
                                   QStringLiteral("exact line ends")};
  QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("help")};
};

// Parses the arguments after the command (the program's name first). Ends the
// command on a usage error, and after printing the help for --help.
void parse(QCommandLineParser& parser, const QStringList& args, Sink& out, Sink& err,
           const Common& c);

// The signature as typed, from --signature or --signature-file (trimmed and
// lower-cased by text::signatureFrom).
QString typedSignature(const QCommandLineParser& parser, const Common& c, Sink& err);

// How file contents are read, from --encoding (default: the rule, "auto").
text::Encoding contentEncoding(const QCommandLineParser& parser, const Common& c, Sink& err);
// How line breaks are compared, from --exact-line-ends (default: any matches any).
text::LineEnds contentLineEnds(const QCommandLineParser& parser, const Common& c);

// The whole content of a file, or of standard input for "-". Ends the command
// when it cannot be read. With a `limit` that is not negative, reading stops at
// `limit` + 1 bytes: a result longer than `limit` means that the input is.
QByteArray readAllOrFail(const QString& path, Sink& err, qsizetype limit = -1);

// Opens a file for reading, or gives standard input for "-". Ends the command
// when it cannot be opened.
platform::UniqueFd openInputOrFail(const QString& path, Sink& err);

// Ends the command when standard output could not be written.
void checkOutput(const Sink& out, Sink& err);

// The help text.
extern const char kHelp[];

// The commands. Each returns its exit status or throws Exit.
int runScan(const QStringList& args, Sink& out, Sink& err);
int runClean(const QStringList& args, Sink& out, Sink& err);
int runRestore(const QStringList& args, Sink& out, Sink& err);
int runBackups(const QStringList& args, Sink& out, Sink& err);
int runWatch(const QStringList& args, Sink& out, Sink& err);
int runReport(const QStringList& args, Sink& out, Sink& err);

// The whole program: `args` as main receives them, decoded.
int run(const QStringList& args, Sink& out, Sink& err);

}  // namespace cli
