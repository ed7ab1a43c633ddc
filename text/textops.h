// The text operations every part of Tervane shares, each defined once.
#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

namespace text {

// The line break of every text box and log: CR LF.
inline constexpr QStringView kCrLf = u"\r\n";

// Removes U+0020 at both ends; tabs and line breaks stay.
QString trim(QStringView s);

// Unicode simple lower-case mapping, one character (code point) at a time.
// Never changes the length in code units for BMP text.
QString lowerCase(QStringView s);
char16_t lowerChar(char16_t c);
// The same for one code point; a surrogate stays as it is.
char32_t lowerCodePoint(char32_t c);
// No code point above it has a lower case other than itself: the planes
// beyond the second hold ideographs, tags and private use.
inline constexpr char32_t kLastCased = 0x1FFFF;

// Cuts at every exact occurrence of `delim`; k occurrences give k + 1 pieces.
// An empty text gives an empty list.
QStringList split(QStringView s, QStringView delim);

// One left-to-right pass dropping each exact occurrence of `needle`; text that a
// removal joins is not searched again. An empty needle removes nothing.
QString removeAll(QStringView s, QStringView needle);

// The signature: the signature box's text, trimmed, then lower-cased.
QString signatureFrom(QStringView signatureBoxText);

// Converts between the widgets' "\n" and the boxes' CR LF.
QString toCrLf(QStringView widgetText);
QString fromCrLf(QStringView crlfText);

}  // namespace text
