// A combo box that a screen reader names by its accessible name (the label it
// stands beside) and not, as Qt does on Linux, by its current text.
#pragma once

#include <QComboBox>

namespace ui {

class NamedComboBox : public QComboBox {
  Q_OBJECT
 public:
  explicit NamedComboBox(QWidget* parent = nullptr);
};

}  // namespace ui
