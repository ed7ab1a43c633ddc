// A push button whose caption always fits its fixed size: on one line when it
// can, else on as few lines as it needs, broken only where a line may break
// between words, in smaller type when even that does not fit. The access key is
// always shown underlined.
#pragma once

#include <QFont>
#include <QPushButton>
#include <QSize>
#include <QString>
#include <QStringList>

namespace ui {

// A caption as it is drawn: the font and the lines, top to bottom. The line
// that holds the access key keeps its "&".
struct FittedCaption {
  QFont font;
  QStringList lines;
};

// Fits `caption` (with "&" before its access key, "&&" for an ampersand) into
// `area`, starting from `font`.
FittedCaption fitCaption(const QString& caption, const QFont& font, QSize area);

// Where a line of `text` may break: the positions between words (by the
// dictionary for Chinese) at which a line break is allowed, in increasing order.
QList<qsizetype> lineBreaks(const QString& text);

class WrapButton : public QPushButton {
  Q_OBJECT
 public:
  explicit WrapButton(const QString& caption, QWidget* parent = nullptr)
      : QPushButton(caption, parent) {}

  // The caption fitted to the button's current font, style and size.
  FittedCaption fittedCaption() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QRect captionArea(const QStyleOptionButton& option) const;
};

}  // namespace ui
