// Writes a deterministic tree that looks like the web sites Tervane is used on:
// html, php, asp, js, css, txt and images, mostly 1-50 KB with a few files of
// several MB, Chinese text (GBK on most sites, UTF-8 on a fifth of them), CR LF
// lines (LF in some files, CR in a few), UTF-8 pages with a stray byte (a
// Latin-1 "é"), and about 1% of the files infected with the main window's
// sample signature: most as it is, some in upper or mixed case, some with LF
// or CR where the signature has CR LF, some right after a GBK lead byte or, on
// UTF-8 sites, a Chinese character (all detections).
//
// Usage: tervane-bench-gentree DIR [FILES] [SEED]
//        tervane-bench-gentree --plain DIR FILES FOLDERS INFECTED_EVERY
// (the second: small .php files only, every INFECTED_EVERY-th infected)
// Writes DIR/tree and DIR/expected.txt (the in-scope infected files for the
// filter "*.ASP|*.PHP|*.JS", sorted by byte value).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// splitmix64: the same numbers on every machine and compiler.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : s_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (s_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  // In [0, n).
  std::size_t below(std::size_t n) { return std::size_t(next() % n); }
  bool chance(double p) { return double(next() >> 11) * 0x1.0p-53 < p; }
  // Log-uniform in [lo, hi].
  std::size_t logUniform(std::size_t lo, std::size_t hi) {
    const double u = double(next() >> 11) * 0x1.0p-53;
    return std::size_t(
        std::exp(std::log(double(lo)) + u * (std::log(double(hi)) - std::log(double(lo)))));
  }

 private:
  std::uint64_t s_;
};

const std::string kSignature =
    "<iframe src=\"http://bad.example.net/index.php\" width=0 \r\nheight=0></iframe>\r\n";

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "tervane-bench-gentree: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

void mkdirs(const std::string& path) {
  for (std::size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      const std::string part = path.substr(0, i);
      if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
        die("mkdir " + part);
    }
  }
}

void writeFile(const std::string& path, const std::string& content) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    die("open " + path);
  std::size_t off = 0;
  while (off < content.size()) {
    const ssize_t n = ::write(fd, content.data() + off, content.size() - off);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      die("write " + path);
    }
    off += std::size_t(n);
  }
  if (::close(fd) != 0)
    die("close " + path);
}

// Whether the pieces being made are for a UTF-8 site.
bool gUtf8 = false;

// Chinese text: characters of the common block, with full-width and ASCII
// punctuation; GBK (level 1) or UTF-8.
std::string chinese(Rng& r, std::size_t chars) {
  std::string s;
  for (std::size_t i = 0; i < chars; ++i) {
    const std::size_t k = r.below(100);
    if (k < 6) {
      s += gUtf8 ? "\xEF\xBC\x8C" : "\xA3\xAC";  // ，
    } else if (k < 9) {
      s += gUtf8 ? "\xE3\x80\x82" : "\xA1\xA3";  // 。
    } else if (k < 11) {
      s += ' ';
    } else if (k < 13) {
      s += char('0' + r.below(10));
    } else if (gUtf8) {
      const unsigned c = 0x4E00 + unsigned(r.below(0x9FA5 - 0x4E00 + 1));
      s += char(0xE0 | (c >> 12));
      s += char(0x80 | ((c >> 6) & 0x3F));
      s += char(0x80 | (c & 0x3F));
    } else {
      s += char(0xB0 + r.below(0xD7 - 0xB0 + 1));
      s += char(0xA1 + r.below(0xFE - 0xA1 + 1));
    }
  }
  return s;
}

std::string word(Rng& r) {
  static const char* words[] = {"news",    "list",  "show",    "index",  "article",
                                "product", "about", "contact", "class",  "user",
                                "admin",   "login", "search",  "page",   "title",
                                "content", "menu",  "nav",     "footer", "header"};
  return words[r.below(sizeof words / sizeof *words)];
}

// Pieces of each kind of file. Each piece ends at a character boundary and holds
// no occurrence of the signature, but some hold near misses.
std::vector<std::string> htmlPieces(Rng& r) {
  std::vector<std::string> out;
  for (int i = 0; i < 400; ++i) {
    std::string s;
    switch (r.below(6)) {
      case 0:
        s = "<div class=\"" + word(r) + "\">\r\n<p>" + chinese(r, 40 + r.below(400)) +
            "</p>\r\n</div>\r\n";
        break;
      case 1:
        s = "<li><a href=\"/" + word(r) + "/" + std::to_string(r.below(100000)) +
            ".html\" target=\"_blank\">" + chinese(r, 8 + r.below(20)) + "</a></li>\r\n";
        break;
      case 2:
        s = "<iframe src=\"http://www.example.com/ad/" + std::to_string(r.below(1000)) +
            ".html\" width=468 height=60 frameborder=0></iframe>\r\n";
        break;
      case 3:
        s = "<IFRAME SRC=\"http://bad.example.net/index.php\" width=0 height=1></IFRAME>\r\n";
        break;
      case 4:
        s = "<table width=\"100%\" border=\"0\"><tr><td>" + chinese(r, 20 + r.below(60)) +
            "</td></tr></table>\r\n";
        break;
      default:
        s = "<script type=\"text/javascript\" src=\"/js/" + word(r) + ".js\"></script>\r\n";
        break;
    }
    out.push_back(s);
  }
  return out;
}

std::vector<std::string> phpPieces(Rng& r) {
  std::vector<std::string> out;
  for (int i = 0; i < 400; ++i) {
    std::string s;
    switch (r.below(5)) {
      case 0:
        s = "<?php\r\n// " + chinese(r, 10 + r.below(40)) + "\r\n$sql = \"SELECT * FROM " +
            word(r) + " WHERE id=\" . intval($_GET['id']);\r\n$rs = mysql_query($sql);\r\n?>\r\n";
        break;
      case 1:
        s = "<?php echo '<p>' . $row['" + word(r) + "'] . '</p>'; ?>\r\n<p>" +
            chinese(r, 30 + r.below(300)) + "</p>\r\n";
        break;
      case 2:
        s = "function " + word(r) + "_" + std::to_string(r.below(1000)) +
            "($a, $b) {\r\n  if ($a == $b) { return true; }\r\n  return false;\r\n}\r\n";
        break;
      case 3:
        s = "echo \"<iframe src='http://bad.example.net/index.php' width=0 height=0>\";\r\n";
        break;
      default:
        s = "<div id=\"" + word(r) + "\">" + chinese(r, 20 + r.below(200)) + "</div>\r\n";
        break;
    }
    out.push_back(s);
  }
  return out;
}

std::vector<std::string> aspPieces(Rng& r) {
  std::vector<std::string> out;
  for (int i = 0; i < 400; ++i) {
    std::string s;
    switch (r.below(4)) {
      case 0:
        s = "<%\r\nset rs=server.createobject(\"adodb.recordset\")\r\nsql=\"select * from " +
            word(r) + " where id=\"&request(\"id\")\r\nrs.open sql,conn,1,1\r\n%>\r\n";
        break;
      case 1:
        s = "<td class=\"" + word(r) + "\"><%=rs(\"" + word(r) + "\")%>" +
            chinese(r, 20 + r.below(200)) + "</td>\r\n";
        break;
      case 2:
        s = "<!--#include file=\"conn.asp\"-->\r\n<% response.write \"" +
            chinese(r, 10 + r.below(50)) + "\" %>\r\n";
        break;
      default:
        s = "<p>" + chinese(r, 50 + r.below(400)) + "</p>\r\n";
        break;
    }
    out.push_back(s);
  }
  return out;
}

std::vector<std::string> jsPieces(Rng& r) {
  std::vector<std::string> out;
  for (int i = 0; i < 400; ++i) {
    std::string s;
    switch (r.below(4)) {
      case 0:
        s = "function " + word(r) + std::to_string(r.below(100)) +
            "(id){\n  var e = document.getElementById(id);\n  e.style.display = "
            "(e.style.display == 'none') ? 'block' : 'none';\n}\n";
        break;
      case 1:
        s = "document.write('<iframe src=\"' + url + '\" width=0 height=0></iframe>');\n";
        break;
      case 2:
        s = "var msg = \"" + chinese(r, 10 + r.below(60)) + "\";\nalert(msg);\n";
        break;
      default:
        s = "$(function(){ $('." + word(r) +
            "').hover(function(){ $(this).addClass('on'); }, "
            "function(){ $(this).removeClass('on'); }); });\n";
        break;
    }
    out.push_back(s);
  }
  return out;
}

std::vector<std::string> cssPieces(Rng& r) {
  std::vector<std::string> out;
  for (int i = 0; i < 200; ++i) {
    std::string s = ".";
    s += word(r);
    s += std::to_string(r.below(100));
    s += " { margin:0; padding:" + std::to_string(r.below(20)) + "px; color:#";
    s += std::to_string(100000 + r.below(800000));
    s += gUtf8 ? "; font-family:\"\xE5\xAE\x8B\xE4\xBD\x93\"; }\r\n"  // 宋体
               : "; font-family:\"\xCB\xCE\xCC\xE5\"; }\r\n";
    out.push_back(s);
  }
  return out;
}

std::vector<std::string> txtPieces(Rng& r) {
  std::vector<std::string> out;
  for (int i = 0; i < 300; ++i)
    out.push_back(chinese(r, 40 + r.below(600)) + "\r\n");
  return out;
}

// Some files have LF line ends only.
std::vector<std::string> lfOnly(std::vector<std::string> pieces) {
  for (std::string& s : pieces) {
    std::string t;
    for (std::size_t i = 0; i < s.size(); ++i) {
      if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n'))
        t += s[i];
    }
    s = t;
  }
  return pieces;
}

enum class Kind { Html, Htm, HtmUpper, Php, Asp, Aspx, Js, Css, Txt, Jpg, Gif, Png };

struct KindInfo {
  Kind kind;
  const char* ext;
  int share;  // per thousand files
};

const KindInfo kKinds[] = {
    {Kind::Html, ".html", 170}, {Kind::Htm, ".htm", 100}, {Kind::HtmUpper, ".HTM", 10},
    {Kind::Php, ".php", 200},   {Kind::Asp, ".asp", 110}, {Kind::Aspx, ".aspx", 10},
    {Kind::Js, ".js", 100},     {Kind::Css, ".css", 50},  {Kind::Txt, ".txt", 50},
    {Kind::Jpg, ".jpg", 120},   {Kind::Gif, ".gif", 40},  {Kind::Png, ".png", 40},
};

enum class Infection { None, Exact, Upper, Mixed, LineFeeds, AfterLeadByte, CarriageReturns };

bool inScope(const std::string& spelled) {
  // The default filter "*.ASP|*.PHP|*.JS": fragments anywhere in the path, in
  // lower case.
  std::string path = spelled;
  for (char& c : path)
    c = char(std::tolower(static_cast<unsigned char>(c)));
  return path.find(".asp") != std::string::npos || path.find(".php") != std::string::npos ||
         path.find(".js") != std::string::npos;
}

}  // namespace

// A plain tree of `files` small .php files spread over `folders` folders, every
// `every`-th infected (0: none): the many-detections and mostly-folders trees.
int plainTree(const std::string& dir, std::size_t files, std::size_t folders, std::size_t every) {
  const std::string root = dir + "/tree";
  mkdirs(root);
  std::vector<std::string> expected;
  const std::string body = "<?php\r\n// generated page\r\necho \"<p>hello</p>\";\r\n";
  std::string content;
  for (std::size_t i = 0; i < files; ++i) {
    const std::string folder = root + "/d" + std::to_string(i % folders);
    if (i < folders)
      mkdirs(folder);
    const std::string path = folder + "/f" + std::to_string(i) + ".php";
    content.clear();
    for (std::size_t k = 0; k < 8 + i % 24; ++k)
      content += body;
    if (every > 0 && i % every == 0) {
      content += kSignature;
      expected.push_back(path);
    }
    writeFile(path, content);
  }
  std::sort(expected.begin(), expected.end());
  std::string list;
  for (const std::string& p : expected)
    list += p + "\n";
  writeFile(dir + "/expected.txt", list);
  std::printf("%zu small .php files in %zu folders, %zu infected\n", files, folders,
              expected.size());
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "--plain") == 0) {
    return plainTree(argv[2], std::strtoull(argv[3], nullptr, 10),
                     std::max<std::size_t>(1, std::strtoull(argv[4], nullptr, 10)),
                     std::strtoull(argv[5], nullptr, 10));
  }
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: tervane-bench-gentree DIR [FILES] [SEED]\n"
                 "       tervane-bench-gentree --plain DIR FILES FOLDERS INFECTED_EVERY\n");
    return 2;
  }
  const std::string dir = argv[1];
  const std::size_t files = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 100000;
  const std::uint64_t seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 20091;
  Rng r(seed);

  // The pieces of GBK sites, then those of UTF-8 sites.
  struct Pools {
    std::vector<std::string> html, php, asp, js, css, txt, htmlLf, phpLf;
  };
  auto makePools = [&r] {
    Pools p{htmlPieces(r), phpPieces(r), aspPieces(r), jsPieces(r),
            cssPieces(r),  txtPieces(r), {},           {}};
    p.htmlLf = lfOnly(p.html);
    p.phpLf = lfOnly(p.php);
    return p;
  };
  const Pools gbkPools = makePools();
  gUtf8 = true;
  const Pools utf8Pools = makePools();
  gUtf8 = false;

  // About 50 files per folder, 40 sites, folders up to four deep. Some folder
  // names hold a filter fragment, so that everything in them is in scope.
  static const char* folderNames[] = {"news",    "include",         "js",  "css",      "images",
                                      "upload",  "admin",           "bbs", "data",     "download",
                                      "product", "about",           "inc", "template", "member",
                                      "skin",    "\xD0\xC2\xCE\xC5"};
  static const char* scopeNames[] = {"editor.js", "old.asp", "lib.php.bak"};
  const std::string root = dir + "/tree";
  std::vector<std::string> folders;
  std::vector<bool> folderUtf8;
  const std::size_t perFolder = 50;
  const std::size_t folderCount = std::max<std::size_t>(1, files / perFolder);
  for (std::size_t i = 0; i < folderCount; ++i) {
    std::string f = "site" + std::to_string(i % 40);
    const std::size_t depth = 1 + r.below(3);
    for (std::size_t d = 0; d < depth; ++d) {
      f += std::string("/") +
           (r.chance(0.03) ? scopeNames[r.below(3)]
                           : folderNames[r.below(sizeof folderNames / sizeof *folderNames)]) +
           (r.chance(0.5) ? std::to_string(r.below(20)) : "");
    }
    folders.push_back(f);
    folderUtf8.push_back(i % 40 < 8);  // the first 8 of the 40 sites
  }

  std::vector<std::string> expected;
  std::size_t totalBytes = 0;
  std::size_t counts[7] = {};
  std::size_t crFiles = 0;
  std::size_t strayFiles = 0;
  std::size_t utf8Files = 0;
  std::string content;
  content.reserve(16 << 20);
  for (std::size_t i = 0; i < files; ++i) {
    // The kind, by share.
    std::size_t pick = r.below(1000);
    const KindInfo* k = &kKinds[0];
    for (const KindInfo& ki : kKinds) {
      if (pick < std::size_t(ki.share)) {
        k = &ki;
        break;
      }
      pick -= std::size_t(ki.share);
    }
    const std::string& folder = folders[i % folders.size()];
    const bool utf8 = folderUtf8[i % folders.size()];
    const Pools& pools = utf8 ? utf8Pools : gbkPools;
    std::string name =
        (r.chance(0.02) ? std::string("\xCE\xC4\xD5\xC2") : word(r)) + std::to_string(i) + k->ext;
    const std::string rel = folder + "/" + name;

    // The size: mostly 1-50 KB, images 5-80 KB, a few of several MB.
    const bool image = k->kind == Kind::Jpg || k->kind == Kind::Gif || k->kind == Kind::Png;
    std::size_t size = image ? r.logUniform(5000, 80000) : r.logUniform(1000, 50000);
    if (!image && r.chance(0.0015))
      size = r.logUniform(2 << 20, 12 << 20);

    content.clear();
    if (image) {
      content = k->kind == Kind::Jpg   ? "\xFF\xD8\xFF\xE0"
                : k->kind == Kind::Gif ? "GIF89a"
                                       : "\x89PNG\r\n\x1A\n";
      while (content.size() < size) {
        const std::uint64_t v = r.next();
        content.append(reinterpret_cast<const char*>(&v), 8);
      }
    } else {
      const bool lf = r.chance(0.15);
      utf8Files += utf8;
      const std::vector<std::string>* pool = &pools.txt;
      switch (k->kind) {
        case Kind::Html:
        case Kind::Htm:
        case Kind::HtmUpper:
          pool = lf ? &pools.htmlLf : &pools.html;
          break;
        case Kind::Php:
          pool = lf ? &pools.phpLf : &pools.php;
          break;
        case Kind::Asp:
        case Kind::Aspx:
          pool = &pools.asp;
          break;
        case Kind::Js:
          pool = &pools.js;
          break;
        case Kind::Css:
          pool = &pools.css;
          break;
        default:
          break;
      }
      while (content.size() < size)
        content += (*pool)[r.below(pool->size())];
      // A few files with CR line ends (an old Mac editor's).
      if (r.chance(0.03)) {
        std::string t;
        for (std::size_t j = 0; j < content.size(); ++j) {
          if (content[j] == '\n') {
            if (t.empty() || t.back() != '\r')
              t += '\r';
          } else {
            t += content[j];
          }
        }
        content.swap(t);
        ++crFiles;
      }
      // A stray byte in some UTF-8 pages, after a line: still read as UTF-8.
      if (utf8 && r.chance(0.1)) {
        const std::size_t nl = content.find('\n', r.below(content.size()));
        content.insert(nl == std::string::npos ? content.size() : nl + 1, "caf\xE9 ");
        ++strayFiles;
      }
    }

    // About 1% infected, at a piece border (a character boundary).
    Infection inf = Infection::None;
    if (r.chance(0.01)) {
      const std::size_t v = r.below(100);
      inf = v < 55   ? Infection::Exact
            : v < 70 ? Infection::Upper
            : v < 80 ? Infection::Mixed
            : v < 86 ? Infection::LineFeeds
            : v < 90 ? Infection::CarriageReturns
                     : Infection::AfterLeadByte;
      std::string sig = kSignature;
      if (inf == Infection::Upper) {
        for (char& c : sig)
          c = char(std::toupper(static_cast<unsigned char>(c)));
      } else if (inf == Infection::Mixed) {
        for (char& c : sig) {
          if (r.chance(0.5))
            c = char(std::toupper(static_cast<unsigned char>(c)));
        }
      } else if (inf == Infection::LineFeeds) {
        std::string t;
        for (char c : sig) {
          if (c != '\r')
            t += c;
        }
        sig = t;
      } else if (inf == Infection::CarriageReturns) {
        std::string t;
        for (char c : sig) {
          if (c != '\n')
            t += c;
        }
        sig = t;
      } else if (inf == Infection::AfterLeadByte) {
        // On a UTF-8 site a Chinese character, so that the file stays UTF-8.
        sig = (utf8 && !image ? "\xE4\xB8\xAD" : "\xB0") + sig;
      }
      // At the start, at the end, or after a random piece; images get it at the
      // end of their data. Never inside a character.
      std::size_t at = 0;
      const std::size_t where = r.below(3);
      if (where == 1 || image) {
        at = content.size();
      } else if (where == 2) {
        // The end of some piece: find a "\n" after a random point.
        const std::size_t from = r.below(content.size());
        const std::size_t nl = content.find('\n', from);
        at = nl == std::string::npos ? content.size() : nl + 1;
      }
      content.insert(at, sig);
      ++counts[int(inf)];
      if (inScope(root + "/" + rel))
        expected.push_back(root + "/" + rel);
    }
    mkdirs(root + "/" + folder);
    writeFile(root + "/" + rel, content);
    totalBytes += content.size();
  }

  std::sort(expected.begin(), expected.end());
  std::string list;
  for (const std::string& p : expected)
    list += p + "\n";
  writeFile(dir + "/expected.txt", list);
  std::printf(
      "%zu files (%zu text files in UTF-8, %zu of them with a stray byte; %zu with CR line "
      "ends), %.2f GB; infected: %zu exact, %zu upper, %zu mixed case, %zu with LF, %zu with CR, "
      "%zu after a lead byte or Chinese character; %zu detections expected in scope\n",
      files, utf8Files, strayFiles, crFiles, double(totalBytes) / 1e9, counts[1], counts[2],
      counts[3], counts[4], counts[6], counts[5], expected.size());
  return 0;
}
