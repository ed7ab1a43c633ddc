// How a path's bytes are written as one line of text, wherever a path is shown
// or logged (the results box, the results window, the current-file line, the
// command line's output and messages), and how such a line is read back.
//
// A line is never anything but one path, and reads back to exactly its bytes:
// - Plain: a path that is valid UTF-8, holds no character that could break or
//   disguise a line (see needsEscape) and does not begin with '"' is its text.
// - Quoted: any other path is written between double quotes, as in C: "\\",
//   "\"", "\a" "\b" "\t" "\n" "\v" "\f" "\r" and "\xHH" (one byte) stand for
//   bytes; every other character stands for its UTF-8 bytes. A part of the
//   path (between slashes) that is not UTF-8 but is GBK text is written as that
//   text behind the mark "\g", which lasts to the next "/": its characters stand
//   for their GBK bytes. Any other byte that is not UTF-8 is written "\xHH".
// So a GBK name and the UTF-8 name with the same text never look alike, and a
// name that begins with '"' is always quoted, so no plain name reads as an escape.
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

// The line for a path given by its bytes.
QString lineOfBytes(QByteArrayView path);
// The same for a path as the file functions take it (see pathcodec.h). Cheap for
// a path that is its own line: no copy is made.
QString lineOfPath(const QString& path);

// The bytes a line stands for; nothing when the line begins with '"' but is not
// a well-formed quoted path. A line that does not begin with '"' stands for its
// own text.
std::optional<QByteArray> bytesOfLine(QStringView line);

// A text for a message, one that terminals and text boxes show as it is: every
// character of needsEscape but the line feed, and every byte that is not text,
// is written "\xHH".
QString visibleText(QStringView text);

}  // namespace platform
