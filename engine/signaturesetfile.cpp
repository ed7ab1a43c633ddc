#include "engine/signaturesetfile.h"

#include <simdjson.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <unicode/uchar.h>

#include <algorithm>
#include <optional>
#include <string_view>

#include "platform/pathcodec.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;

namespace signatures {

namespace {

bool isAscii(const QString& s) {
  return std::all_of(s.begin(), s.end(), [](QChar c) { return c.unicode() < 0x80; });
}

// Control (C0, C1, DEL), format and bidirectional characters: a name is shown
// on terminals and in reports, where they would move, hide or reorder text.
// ASCII, as most names are, has only C0 and DEL of them.
bool hasControl(const QString& s) {
  if (isAscii(s))
    return std::any_of(s.begin(), s.end(), [](QChar c) { return c < u' ' || c == u'\x7f'; });
  for (const char32_t c : s.toUcs4()) {
    const auto type = u_charType(UChar32(c));
    if (type == U_CONTROL_CHAR || type == U_FORMAT_CHAR ||
        u_hasBinaryProperty(UChar32(c), UCHAR_BIDI_CONTROL))
      return true;
  }
  return false;
}

// Names that look alike are one name: lower-cased, invisible characters dropped.
QString nameKey(const QString& name) {
  if (isAscii(name))  // no invisible characters
    return text::lowerCase(name);
  QList<uint> kept = text::lowerCase(name).toUcs4();
  kept.removeIf(
      [](uint c) { return u_hasBinaryProperty(UChar32(c), UCHAR_DEFAULT_IGNORABLE_CODE_POINT); });
  return QString::fromUcs4(reinterpret_cast<const char32_t*>(kept.constData()), kept.size());
}

// Where a raw control byte lies inside a JSON string (which JSON forbids and a
// lenient parser takes as text), or -1.
qsizetype rawControlInString(QByteArrayView line) {
  bool inString = false;
  for (qsizetype i = 0; i < line.size(); ++i) {
    const auto b = uint8_t(line[i]);
    if (inString && b < 0x20)
      return i;
    if (inString && b == '\\')
      ++i;
    else if (b == '"')
      inString = !inString;
  }
  return -1;
}

bool hasReserved(const QString& s) {
  for (QChar c : s) {
    if (text::reservedInSets(c))
      return true;
  }
  return false;
}

}  // namespace

QString Builder::Place::text() const {
  return line > 0 ? u"%1:%2"_s.arg(file).arg(line) : file;
}

// A line's fields, as far as it has them.
struct Builder::LineFields {
  std::optional<QString> name;
  std::optional<QString> text;
  std::optional<QString> action;
};

// The common line, read by simdjson (Qt's parser took most of a large set's
// reading): an object whose fields are strings, each a known one and there
// once. Anything else is left to Qt's parser, which names the fault; and
// simdjson takes no JSON that Qt's parser refuses.
std::optional<Builder::LineFields> Builder::plainLine(QByteArrayView line) {
  thread_local simdjson::dom::parser parser;
  simdjson::dom::object object;
  if (parser.parse(line.data(), std::size_t(line.size())).get_object().get(object))
    return std::nullopt;
  LineFields fields;
  bool comment = false;
  for (const auto field : object) {
    std::string_view value;
    if (field.value.get_string().get(value))
      return std::nullopt;
    const QString text = QString::fromUtf8(value.data(), qsizetype(value.size()));
    std::optional<QString>* slot = field.key == "name"     ? &fields.name
                                   : field.key == "text"   ? &fields.text
                                   : field.key == "action" ? &fields.action
                                                           : nullptr;
    if (field.key == "comment" && !comment)
      comment = true;
    else if (!slot || *slot)
      return std::nullopt;
    else
      *slot = text;
  }
  return fields;
}

// One line of a set file, not empty: one member, or the fault that names its field.
bool Builder::addJsonLine(QByteArrayView line, const Place& where) {
  const qsizetype bad = platform::invalidUtf8At(line);
  if (bad < 0) {
    if (std::optional<LineFields> fields = plainLine(line))
      return addFields(*fields, where);
  }
  const qsizetype control = bad >= 0 ? -1 : rawControlInString(line);
  QJsonParseError parseError;
  const QJsonDocument doc = QJsonDocument::fromJson(line.toByteArray(), &parseError);
  if (bad >= 0 || control >= 0) {
    // Name the field that holds the stray byte, if the line parses at all.
    QString field;
    QByteArray marked = line.toByteArray();
    if (control >= 0)
      marked.replace(control, 1, "\xEF\xBF\xBD");
    const QJsonDocument lossy =
        QJsonDocument::fromJson(QString::fromUtf8(marked).toUtf8(), &parseError);
    for (const QString& key : {u"text"_s, u"name"_s, u"action"_s, u"comment"_s}) {
      if (field.isEmpty() &&
          lossy.object().value(key).toString().contains(QChar::ReplacementCharacter))
        field = key;
    }
    const QString at =
        where.text() + (field.isEmpty() ? QString() : u": field \"%1\""_s.arg(field));
    if (control >= 0)
      return failed(
          at + u": invalid JSON: raw control character in a string at byte %1"_s.arg(control + 1));
    return failed(
        at + u": not valid UTF-8 (byte %1 of the line is not part of a character)"_s.arg(bad + 1));
  }
  if (parseError.error != QJsonParseError::NoError)
    return failed(where.text() + u": invalid JSON: %1 at byte %2"_s.arg(parseError.errorString())
                                     .arg(parseError.offset + 1));
  if (!doc.isObject())
    return failed(where.text() +
                  u": invalid JSON: each line is one object with \"name\" and \"text\""_s);
  const QJsonObject o = doc.object();
  for (auto it = o.constBegin(); it != o.constEnd(); ++it) {
    if (it.key() != u"name"_s && it.key() != u"text"_s && it.key() != u"comment"_s &&
        it.key() != u"action"_s)
      return failed(where.text() +
                    u": field \"%1\" is not one of name, text, action, comment"_s.arg(it.key()));
    if (!it.value().isString())
      return failed(where.text() + u": field \"%1\" is not a string"_s.arg(it.key()));
  }
  const auto field = [&o](const QString& key) {
    return o.contains(key) ? std::optional(o.value(key).toString()) : std::nullopt;
  };
  return addFields(LineFields{field(u"name"_s), field(u"text"_s), field(u"action"_s)}, where);
}

bool Builder::addFields(const LineFields& fields, const Place& where) {
  if (!fields.name)
    return failed(where.text() + u": field \"name\" is missing"_s);
  if (!fields.text)
    return failed(where.text() + u": field \"text\" is missing"_s);
  // Exact words only: a misspelt "quarantine" must not fall back to a removal
  // that leaves the rest of a web shell in place.
  const QString action = fields.action.value_or(u"remove"_s);
  if (action != u"remove"_s && action != u"quarantine"_s)
    return failed(where.text() +
                  u": field \"action\" is \"%1\", not \"remove\" or \"quarantine\""_s.arg(action));
  if (!add(*fields.name, *fields.text, where, u"field \"name\""_s, u"field \"text\""_s))
    return false;
  if (action == u"quarantine"_s)
    members_.back().action = text::MemberAction::Quarantine;
  return true;
}

bool Builder::addJsonLines(QByteArrayView content, const QString& file) {
  if (content.size() > limits_.fileBytes)
    return failed(u"%1: larger than %2 bytes, the most a set file may take"_s.arg(file).arg(
        limits_.fileBytes));
  if (content.startsWith("\xEF\xBB\xBF"))
    content = content.sliced(3);
  // A line holds one member: its text, each character escaped at worst as
  // \uXXXX, and a little more.
  const qsizetype lineLimit = limits_.textChars * 6 + limits_.nameChars * 6 + 64 * 1024;
  qsizetype lineNo = 0;
  while (!content.isEmpty()) {
    ++lineNo;
    qsizetype end = content.indexOf('\n');
    if (end < 0)
      end = content.size();
    QByteArrayView line = content.first(end);
    content = content.sliced(std::min(end + 1, content.size()));
    if (line.endsWith('\r'))
      line.chop(1);
    const Place where{file, lineNo};
    if (line.size() > lineLimit)
      return failed(
          where.text() +
          u": longer than %1 bytes; a signature takes at most %2 characters"_s.arg(lineLimit).arg(
              limits_.textChars));
    if (!line.trimmed().isEmpty() && !addJsonLine(line, where))
      return false;
  }
  return true;
}

bool Builder::addSignature(const QString& name, const QString& boxText, const QString& where) {
  return add(name, boxText, Place{where, 0}, u"name"_s, u"signature"_s);
}

bool Builder::add(const QString& name, const QString& boxText, const Place& where,
                  const QString& nameField, const QString& textField) {
  if (qsizetype(members_.size()) >= limits_.members)
    return failed(where.text() +
                  u": more than %1 signatures, the most a set may hold"_s.arg(limits_.members));
  if (name.isEmpty())
    return failed(where.text() + u": "_s + nameField + u" is empty"_s);
  if (name.size() > limits_.nameChars)
    return failed(where.text() + u": "_s + nameField +
                  u" is longer than %1 characters"_s.arg(limits_.nameChars));
  if (hasControl(name) || hasReserved(name) || !QStringView(name).isValidUtf16())
    return failed(where.text() + u": "_s + nameField +
                  u" holds a control character or a character that is not text"_s);
  const QString key = nameKey(name);
  if (const auto it = whereNamed_.find(key); it != whereNamed_.end())
    return failed(where.text() + u": "_s + nameField +
                  u" \"%1\" is a duplicate (first at %2)"_s.arg(name, it->second.text()));
  // A JSON escape can write a lone surrogate, which is no character of UTF-8 text.
  if (!QStringView(boxText).isValidUtf16())
    return failed(where.text() + u": "_s + textField +
                  u" is not valid UTF-8 (it holds half of a surrogate pair)"_s);
  if (hasReserved(boxText))
    return failed(where.text() + u": "_s + textField +
                  u" holds U+FDD0 or U+FDD1, which are not text"_s);
  if (boxText.size() > limits_.textChars)
    return failed(where.text() + u": "_s + textField +
                  u" is longer than %1 characters"_s.arg(limits_.textChars));
  const QString signature = text::signatureFrom(boxText);
  if (signature.isEmpty())
    return failed(where.text() + u": "_s + textField + u" is empty"_s);
  whereNamed_.emplace(key, where);
  members_.push_back(text::SetMember{name, signature});
  return true;
}

}  // namespace signatures
