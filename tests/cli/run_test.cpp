// The commands run in this process through cli::run: every error comes back as
// a status, with its descriptors closed, and the process goes on.
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "cli/common.h"
#include "engine/messages.h"
#include "inprocess.h"
#include "platform/fd.h"
#include "testsupport.h"

using namespace Qt::StringLiterals;

namespace {

using Outcome = inprocess::CliRun;

Outcome run(const QStringList& args) {
  return inprocess::runCli(args);
}

}  // namespace

TEST(RunInProcess, ErrorsComeBackAsStatusesWithNothingLeftOpen) {
  TempTree t;
  t.write("site/a.asp", "x");
  t.mkdir("folder");
  const QString site = t.path("site");
  const QString folder = t.path("folder");  // opens, but cannot be read
  const int before = openDescriptors();
  const QList<QStringList> failing = {
      {},
      {u"bogus"_s},
      {u"scan"_s, site},
      {u"scan"_s, u"--signature"_s, u"x"_s, u"--signature-file"_s, folder, site},
      {u"scan"_s, u"--signature-file"_s, folder, site},
      {u"scan"_s, u"--signature"_s, u"x"_s, u"--jobs"_s, u"0"_s, site},
      {u"scan"_s, u"--signature"_s, u"x"_s, t.path("missing")},
      {u"clean"_s, u"--signature"_s, u"x"_s, t.path("missing.log")},
      {u"clean"_s, u"--signature"_s, u"x"_s, folder},
  };
  for (const QStringList& args : failing) {
    const Outcome o = run(args);
    const std::string what = args.join(u' ').toStdString();
    EXPECT_EQ(o.status, cli::kError) << what;
    EXPECT_TRUE(o.err.startsWith("tervane-cli: ") || o.err.contains("该目录不是有效路径"))
        << what << ": " << o.err.toStdString();
    EXPECT_TRUE(o.out.isEmpty()) << what;
  }
  EXPECT_EQ(openDescriptors(), before);
  EXPECT_EQ(::chdir("/"), 0);
}

TEST(RunInProcess, HelpAndScanShareTheWindowsDefaultFilter) {
  const Outcome help = run({u"--help"_s});
  EXPECT_EQ(help.status, cli::kOk);
  EXPECT_TRUE(help.out.contains("(default \"" + msg::kDefaultFilter.toUtf8() + "\")"));

  TempTree t;
  for (const char* name : {"a.asp", "b.php", "c.js", "d.htm", "e.txt"})
    t.write(name, "<iframe src=x>");
  const Outcome plain = run({u"scan"_s, u"--signature"_s, u"<IFRAME SRC=X>"_s, t.root()});
  const Outcome given = run({u"scan"_s, u"--signature"_s, u"<IFRAME SRC=X>"_s, u"--filter"_s,
                             msg::kDefaultFilter.toString(), t.root()});
  EXPECT_EQ(plain.status, cli::kFound);
  EXPECT_EQ(plain.out, given.out);
  EXPECT_EQ(plain.out.count('\n'), 3);
  EXPECT_EQ(::chdir("/"), 0);
}
