// Layout sizes are kept in twips, as the windows were designed; 15 twips make one
// pixel at 96 dots per inch. Every position and size goes through here.
#pragma once

#include <QApplication>
#include <QFont>
#include <QFontInfo>
#include <QRect>
#include <QWidget>

namespace ui {

inline constexpr int kTwipsPerPixel = 15;

constexpr int twipsToPixels(int twips) {
  return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}

inline QRect twipsRect(int left, int top, int width, int height) {
  return {twipsToPixels(left), twipsToPixels(top), twipsToPixels(width), twipsToPixels(height)};
}

// Places `w` inside its container; the windows never lay out again.
inline void place(QWidget* w, int left, int top, int width, int height) {
  w->setGeometry(twipsRect(left, top, width, height));
}

// The controls keep their twips whatever the desktop's font, so a font larger
// than the one they were laid out for (9 points: 180 twips) would cut their
// captions, titles and texts. A window of fixed size takes the desktop's face
// at that size at most; the buttons shrink their own captions further to fit.
inline void holdFontToLayout(QWidget* window) {
  QFont font = QApplication::font();
  const int most = twipsToPixels(180);
  if (QFontInfo(font).pixelSize() > most) {
    font.setPixelSize(most);
    window->setFont(font);
  }
}

}  // namespace ui
