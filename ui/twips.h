// Layout sizes are kept in twips, as the windows were designed; 15 twips make one
// pixel at 96 dots per inch. Every position and size goes through here.
#pragma once

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

}  // namespace ui
