#include "ui/wrapbutton.h"

#include <QFontInfo>
#include <QFontMetricsF>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QTextLayout>

#include <unicode/ubrk.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>

using namespace Qt::StringLiterals;

namespace ui {

namespace {

// Below this the caption would no longer be legible; it is drawn at it anyway.
constexpr int kSmallestPixelSize = 6;

// The boundaries an ICU break iterator of `type` finds inside `text`.
QList<qsizetype> boundaries(UBreakIteratorType type, const QString& text) {
  QList<qsizetype> out;
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<UBreakIterator, decltype(&ubrk_close)> it(
      ubrk_open(type, "zh", reinterpret_cast<const UChar*>(text.utf16()), int32_t(text.size()),
                &status),
      &ubrk_close);
  if (U_FAILURE(status))
    return out;
  for (int32_t p = ubrk_first(it.get()); p != UBRK_DONE; p = ubrk_next(it.get()))
    if (p > 0 && p < text.size())
      out.append(p);
  return out;
}

// A caption without its access-key marks, and where its access key is (-1: none).
struct Plain {
  QString text;
  qsizetype key = -1;
};

Plain withoutMarks(const QString& caption) {
  Plain out;
  for (qsizetype i = 0; i < caption.size(); ++i) {
    if (caption[i] == u'&' && i + 1 < caption.size()) {
      ++i;
      if (caption[i] != u'&' && out.key < 0)
        out.key = out.text.size();
    }
    out.text += caption[i];
  }
  return out;
}

// The piece [from, to) of the plain caption as a line to draw: trailing blanks
// dropped, the access key marked again, ampersands doubled.
QString lineOf(const Plain& plain, qsizetype from, qsizetype to) {
  while (to > from && plain.text[to - 1] == u' ')
    --to;
  QString line;
  for (qsizetype i = from; i < to; ++i) {
    if (i == plain.key)
      line += u'&';
    if (plain.text[i] == u'&')
      line += u'&';
    line += plain.text[i];
  }
  return line;
}

qreal widthOf(const QFontMetricsF& metrics, const Plain& plain, qsizetype from, qsizetype to) {
  while (to > from && plain.text[to - 1] == u' ')
    --to;
  return metrics.horizontalAdvance(plain.text.mid(from, to - from));
}

// The lines at `font`, or none when the caption does not fit: the fewest lines,
// and of those the split whose widest line is narrowest.
std::optional<QStringList> fit(const Plain& plain, const QList<qsizetype>& breaks,
                               const QFont& font, QSize area) {
  const QFontMetricsF metrics(font);
  for (qsizetype lines = 1; lines <= breaks.size() + 1; ++lines) {
    if (qreal(lines - 1) * metrics.lineSpacing() + metrics.height() > area.height())
      return std::nullopt;
    std::optional<std::pair<qreal, QList<qsizetype>>> best;
    QList<qsizetype> cuts;
    // Every choice of lines - 1 breaks, in order.
    const std::function<void(qsizetype, qsizetype, qreal)> choose =
        [&](qsizetype next, qsizetype from, qreal widest) {
          if (cuts.size() == lines - 1) {
            widest = std::max(widest, widthOf(metrics, plain, from, plain.text.size()));
            if (widest <= area.width() && (!best || widest < best->first))
              best = {widest, cuts};
            return;
          }
          for (qsizetype b = next; b < breaks.size(); ++b) {
            const qreal w = widthOf(metrics, plain, from, breaks[b]);
            if (w > area.width())
              break;  // longer lines only get wider
            cuts.append(breaks[b]);
            choose(b + 1, breaks[b], std::max(widest, w));
            cuts.removeLast();
          }
        };
    choose(0, 0, 0);
    if (best) {
      QStringList out;
      qsizetype from = 0;
      for (qsizetype cut : best->second) {
        out.append(lineOf(plain, from, cut));
        from = cut;
      }
      out.append(lineOf(plain, from, plain.text.size()));
      return out;
    }
  }
  return std::nullopt;
}

}  // namespace

QList<qsizetype> lineBreaks(const QString& text) {
  const QList<qsizetype> lines = boundaries(UBRK_LINE, text);
  const QList<qsizetype> words = boundaries(UBRK_WORD, text);
  QList<qsizetype> out;
  std::set_intersection(lines.begin(), lines.end(), words.begin(), words.end(),
                        std::back_inserter(out));
  return out;
}

FittedCaption fitCaption(const QString& caption, const QFont& font, QSize area) {
  const Plain plain = withoutMarks(caption);
  const QList<qsizetype> breaks = lineBreaks(plain.text);
  if (auto lines = fit(plain, breaks, font, area))
    return {font, *lines};
  QFont smaller = font;
  for (int px = QFontInfo(font).pixelSize() - 1; px >= kSmallestPixelSize; --px) {
    smaller.setPixelSize(px);
    if (auto lines = fit(plain, breaks, smaller, area))
      return {smaller, *lines};
  }
  // Nothing fits: the smallest type, one line per piece between breaks.
  QStringList pieces;
  qsizetype from = 0;
  for (qsizetype cut : breaks) {
    pieces.append(lineOf(plain, from, cut));
    from = cut;
  }
  pieces.append(lineOf(plain, from, plain.text.size()));
  return {smaller, pieces};
}

QRect WrapButton::captionArea(const QStyleOptionButton& option) const {
  return style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
}

FittedCaption WrapButton::fittedCaption() const {
  QStyleOptionButton option;
  initStyleOption(&option);
  return fitCaption(text(), font(), captionArea(option).size());
}

void WrapButton::paintEvent(QPaintEvent* /*event*/) {
  QStylePainter painter(this);
  QStyleOptionButton option;
  initStyleOption(&option);
  option.text.clear();
  painter.drawControl(QStyle::CE_PushButton, option);

  QRect area = captionArea(option);
  if (isDown() || isChecked()) {
    area.translate(style()->pixelMetric(QStyle::PM_ButtonShiftHorizontal, &option, this),
                   style()->pixelMetric(QStyle::PM_ButtonShiftVertical, &option, this));
  }
  const FittedCaption caption = fitCaption(text(), font(), area.size());
  painter.setFont(caption.font);
  const QFontMetricsF metrics(caption.font);
  const qreal height = qreal(caption.lines.size() - 1) * metrics.lineSpacing() + metrics.height();
  qreal top = area.top() + (area.height() - height) / 2;
  // The underline is drawn here rather than by the text engine, which takes its
  // place from the font: some fonts put it below the line the row clips to, or
  // make it zero thick, and the access key then shows no mark.
  const qreal underlineOffset = std::max<qreal>(1, metrics.underlinePos());
  const qreal underlineThickness = std::max<qreal>(1, metrics.lineWidth());
  for (const QString& line : caption.lines) {
    const QRect row(area.left(), qRound(top), area.width(), qCeil(metrics.height()));
    const Plain plain = withoutMarks(line);
    style()->drawItemText(&painter, row, Qt::AlignHCenter | Qt::AlignTop | Qt::TextHideMnemonic,
                          option.palette, isEnabled(), line, QPalette::ButtonText);
    if (plain.key >= 0) {
      // Laid out as the text above is, to find the key's place on the line.
      QTextLayout layout(plain.text, caption.font, this);
      layout.beginLayout();
      QTextLine laidOut = layout.createLine();
      layout.endLayout();
      if (laidOut.isValid()) {
        const qreal left = row.left() + (row.width() - laidOut.naturalTextWidth()) / 2;
        const qreal from = laidOut.cursorToX(int(plain.key));
        const qreal to = laidOut.cursorToX(int(plain.key + 1));
        // Within the row, whatever the font says.
        const qreal y = std::min(row.top() + laidOut.ascent() + underlineOffset,
                                 row.top() + row.height() - underlineThickness);
        painter.fillRect(
            QRectF(left + std::min(from, to), y, std::abs(to - from), underlineThickness),
            option.palette.brush(QPalette::ButtonText));
      }
    }
    top += metrics.lineSpacing();
  }
}

}  // namespace ui
