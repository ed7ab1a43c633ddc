// How a path's bytes are written as one line of text, wherever a path is shown
// or logged (the results box, the results window, the current-file line, the
// command line's output and messages), and how such a line is read back.
//
// A line is never anything but one path, and reads back to exactly its bytes:
// - Plain: a path that is valid UTF-8, holds no character that could break or
//   disguise a line (see needsEscape) and does not begin with '"' is its text.
// - Quoted: any other path is written between double quotes, as in C: "\\",
//   "\"", "\a" "\b" "\t" "\n" "\v" "\f" "\r" and "\xHH" (one byte) stand for
//   bytes; "\u{H...}" (one to six hex digits) stands for the character U+H...;
//   every other character stands for its UTF-8 bytes. The C0 and C1 controls
//   and DEL are written as bytes, every other character that needsEscape or
//   isInvisible as "\u{H...}". A part of the
//   path (between slashes) that is not UTF-8 but is GBK text is written as that
//   text behind the mark "\g", which lasts to the next "/": its characters stand
//   for their GBK bytes. Any other byte that is not UTF-8 is written "\xHH".
// So a GBK name and the UTF-8 name with the same text never look alike, two
// names that differ only in characters that show as nothing never look alike,
// and a name that begins with '"' is always quoted, so no plain name reads as
// an escape.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <optional>

namespace platform {

// The characters a line never holds as they are: C0 and C1 controls and DEL
// (terminals act on them), the line and paragraph separators (the text boxes
// break lines at them), the bidirectional controls (they reorder what is shown)
// and the noncharacters U+FDD0-U+FDEF (the text boxes use some as marks).
bool needsEscape(char32_t c);

// The characters a line also never holds as they are, because they show as
// nothing or as nothing definite, so that two names differing only in them
// would look alike: the format characters (general category Cf: U+200B,
// U+FEFF, U+00AD, the tags...), the default-ignorable code points (U+034F,
// U+180E, U+3164, the variation selectors...), and the code points that are
// unassigned or for private use, as the system's ICU knows them.
bool isInvisible(char32_t c);

// The line for a path given by its bytes.
QString lineOfBytes(QByteArrayView path);
// The same for a path as the file functions take it (see pathcodec.h). Cheap for
// a path that is its own line: no copy is made.
QString lineOfPath(const QString& path);

// The bytes a line stands for; nothing when the line begins with '"' but is not
// a well-formed quoted path. A line that does not begin with '"' stands for its
// own text.
std::optional<QByteArray> bytesOfLine(QStringView line);

// A text for a message, one that terminals and text boxes show as it is, on one
// line: every byte that is not text and every C0 or C1 control and DEL, the
// line feed included, is written "\xHH", every other character of needsEscape
// or isInvisible "\u{H...}".
QString visibleText(QStringView text);

// A message of several lines, separated by CR LF as every text of the window
// state, for a terminal: each line as visibleText writes it, the lines
// separated by LF. Only CR LF separates lines: a lone LF or CR inside a line
// (from a name or a signature someone chose) is escaped and cannot forge one.
QString visibleLines(QStringView text);

// The system's text for an errno, as every message gives a reason.
QString errorText(int error);

}  // namespace platform
