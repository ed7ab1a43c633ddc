#include "ui/namedcombobox.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QLineEdit>

using namespace Qt::StringLiterals;

namespace ui {
namespace {

class NamedComboBoxAccessible : public QAccessibleWidget {
 public:
  explicit NamedComboBoxAccessible(QComboBox* box)
      : QAccessibleWidget(box, QAccessible::ComboBox) {}

  QString text(QAccessible::Text t) const override {
    const auto* box = static_cast<const QComboBox*>(widget());
    switch (t) {
      case QAccessible::Name:
        return box->accessibleName();
      case QAccessible::Value:
        return box->currentText();
      default:
        return QAccessibleWidget::text(t);
    }
  }
  QStringList actionNames() const override {
    return QStringList{showMenuAction()} + QAccessibleWidget::actionNames();
  }
  void doAction(const QString& action) override {
    if (action == showMenuAction())
      static_cast<QComboBox*>(widget())->showPopup();
    else
      QAccessibleWidget::doAction(action);
  }
};

QAccessibleInterface* namedComboBoxFactory(const QString& key, QObject* object) {
  if (key == "ui::NamedComboBox"_L1) {
    if (auto* box = qobject_cast<NamedComboBox*>(object))
      return new NamedComboBoxAccessible(box);
  }
  return nullptr;
}

}  // namespace

NamedComboBox::NamedComboBox(QWidget* parent) : QComboBox(parent) {
  static const bool installed = [] {
    QAccessible::installFactory(namedComboBoxFactory);
    return true;
  }();
  (void)installed;
}

}  // namespace ui
