// Names and addresses the windows show: the product, its support forum and the
// sample signature. Each is written once here.
#pragma once

#include <QString>
#include <QStringView>

namespace product {

// The support forum's host, for the caption and the help page.
inline constexpr QStringView kForumHost = u"forum.example.com";
inline constexpr QStringView kForumName = u"Tervane 技术论坛";
// The forum board that answers questions; the help button is named after it.
inline constexpr QStringView kHelpBoard = u"求助专区";
inline constexpr QStringView kHelpPathAndQuery = u"/forumdisplay.php?fid=97";
// The host of the address in the sample signature.
inline constexpr QStringView kSampleHost = u"bad.example.net";

// The forum's address, e.g. "http://forum.example.com".
QString forumAddress();
// The main window's caption: the product, its forum and the forum's address.
QString windowCaption();
// The help button's caption: the board's name, three blanks, "（&Help）".
QString helpCaption();
// The help page: the forum's board of questions.
QString helpUrl();
// The signature box's first text: an invisible frame, two lines, CR LF ends.
QString sampleSignature();

}  // namespace product
