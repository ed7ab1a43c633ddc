// A set of signatures written as one text, so that a set travels every road a
// single signature does (the scan, the clean, the backup run's record, the
// report) without each of them learning a new type: the set's text begins with
// two reserved noncharacters and holds each member's name and signature, each
// followed by the separator; a member that quarantines has the quarantine mark
// before its name. A signature (typed, pasted or read from a file) never begins
// with the marker, and a set's names and texts never hold the reserved
// characters (the set file's reader refuses them).
#pragma once

#include <QString>
#include <QStringView>

#include <vector>

namespace text {

// What the clean does with a file that holds a member: removes the member's
// text, or takes the whole file out of the site (a web shell, a phishing page).
enum class MemberAction { Remove, Quarantine };

struct SetMember {
  QString name;
  // Trimmed and lower-cased, as a single signature is.
  QString signature;
  MemberAction action = MemberAction::Remove;
};

inline constexpr char16_t kSetMarker[] = u"\uFDD0\uFDD1";
inline constexpr char16_t kSetSeparator = u'\uFDD1';
inline constexpr char16_t kQuarantineMark = u'\uFDD2';

// Whether a character may not appear in a set's names or texts.
bool reservedInSets(QChar c);

bool isSignatureSet(QStringView signature);

QString packSignatureSet(const std::vector<SetMember>& members);

// The members of a set's text; a plain signature is one member with no name.
std::vector<SetMember> unpackSignatureSet(QStringView signature);
// The members' signatures alone, as views of `signature`'s characters: valid
// only while `signature`, or a copy of it, lives. A large set's texts are
// megabytes, and copies would double them for as long as the scan runs.
std::vector<QString> memberSignaturesViewing(const QString& signature);

// Whether a member of the set (or the one signature) quarantines.
bool anyQuarantines(QStringView signature);

}  // namespace text
