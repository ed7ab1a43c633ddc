// A push button whose caption wraps onto a second line when it does not fit, as
// the long Chinese captions of the button column need.
#pragma once

#include <QPushButton>

namespace ui {

class WrapButton : public QPushButton {
  Q_OBJECT
 public:
  explicit WrapButton(const QString& caption, QWidget* parent = nullptr)
      : QPushButton(caption, parent) {}

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace ui
