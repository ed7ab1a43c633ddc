#include "ui/backupsdialog.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <cerrno>
#include <cstring>

#include "clean/backupstore.h"
#include "engine/messages.h"
#include "platform/pathline.h"
#include "ui/dialogs.h"

using namespace Qt::StringLiterals;

namespace ui {

QString shownSize(qint64 bytes) {
  return QLocale(QLocale::Chinese, QLocale::China)
      .formattedDataSize(bytes, 1, QLocale::DataSizeTraditionalFormat);
}

namespace {

// The files a run kept, and how many of them it took out whole.
QString filesText(const Restorer::Run& run) {
  QString text = QString::number(run.files);
  if (run.quarantined > 0)
    text += u"（隔离 %1）"_s.arg(run.quarantined);
  return text;
}

}  // namespace

BackupsDialog::BackupsDialog(Restorer& restorer, Dialogs& dialogs, QWidget* parent)
    : QDialog(parent), restorer_(restorer), dialogs_(dialogs) {
  setWindowTitle(msg::kManageBackups.toString().chopped(1));
  runList = new QTreeWidget(this);
  runList->setHeaderLabels({u"清除时间"_s, u"文件夹"_s, u"文件数"_s, u"大小"_s, u"状态"_s});
  // A run's files are shown when its row is opened, read then.
  runList->setRootIsDecorated(true);
  runList->setSelectionMode(QAbstractItemView::SingleSelection);
  runList->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  runList->header()->setSectionResizeMode(1, QHeaderView::Stretch);
  runList->setAccessibleName(u"备份的清除记录"_s);
  totalLabel = new QLabel(this);
  restoreButton = new QPushButton(u"恢复（&R）"_s, this);
  restoreButton->setAccessibleName(u"恢复"_s);
  deleteButton = new QPushButton(u"删除（&D）"_s, this);
  deleteButton->setAccessibleName(u"删除"_s);
  closeButton = new QPushButton(u"关闭"_s, this);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(totalLabel, 1);
  buttons->addWidget(restoreButton);
  buttons->addWidget(deleteButton);
  buttons->addWidget(closeButton);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(runList);
  layout->addLayout(buttons);
  resize(720, 320);

  connect(restoreButton, &QPushButton::clicked, this, &BackupsDialog::restoreChosen);
  connect(deleteButton, &QPushButton::clicked, this, &BackupsDialog::deleteChosen);
  connect(closeButton, &QPushButton::clicked, this, &QDialog::accept);
  connect(runList, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
    if (!item->parent())
      restoreChosen();
  });
  connect(runList, &QTreeWidget::itemExpanded, this, &BackupsDialog::showFiles);
  refresh();
}

void BackupsDialog::refresh(const QByteArray& keep) {
  store_ = restorer_.store();
  runList->clear();
  QTreeWidgetItem* current = nullptr;
  for (const Restorer::Run& run : store_.runs) {
    auto* row = new QTreeWidgetItem(runList, {clean::shownTime(run.started), run.folder,
                                              filesText(run), shownSize(run.bytes), run.state()});
    row->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
    row->setTextAlignment(3, Qt::AlignRight | Qt::AlignVCenter);
    row->setToolTip(1, run.folder);
    if (!run.paths.empty())
      row->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
    if (run.name == keep)
      current = row;
  }
  if (!current && runList->topLevelItemCount() > 0)
    current = runList->topLevelItem(0);
  if (current)
    runList->setCurrentItem(current);
  totalLabel->setText(u"备份共占用 "_s + shownSize(store_.bytes));
}

void BackupsDialog::showFiles(QTreeWidgetItem* row) {
  const int at = runList->indexOfTopLevelItem(row);
  if (at < 0 || std::size_t(at) >= store_.runs.size() || row->childCount() > 0)
    return;
  for (const QByteArray& path : store_.runs[std::size_t(at)].paths) {
    auto* file = new QTreeWidgetItem(row);
    file->setText(1, platform::lineOfBytes(path));
  }
}

const Restorer::Run* BackupsDialog::chosen() const {
  QTreeWidgetItem* item = runList->currentItem();
  // A file's row stands for its run.
  while (item && item->parent())
    item = item->parent();
  const int row = runList->indexOfTopLevelItem(item);
  return row >= 0 && std::size_t(row) < store_.runs.size() ? &store_.runs[std::size_t(row)]
                                                           : nullptr;
}

void BackupsDialog::restoreChosen() {
  if (const Restorer::Run* run = chosen()) {
    const QByteArray name = run->name;
    Q_EMIT restoreRequested(name);
    refresh(name);
  }
}

void BackupsDialog::deleteChosen() {
  const Restorer::Run* run = chosen();
  if (!run)
    return;
  if (!dialogs_.question(this, msg::kConfirmDelete.toString().arg(clean::shownTime(run->started))))
    return;
  const QByteArray name = run->name;
  if (const int e = Restorer::remove(*run)) {
    dialogs_.critical(this, e == EBUSY ? msg::kRunStillGoing.toString() : platform::errorText(e));
  }
  refresh(name);
}

}  // namespace ui
