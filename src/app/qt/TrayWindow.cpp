#include "app/qt/TrayWindow.h"

#include <QCloseEvent>
#include <QVBoxLayout>

namespace toruna::app {

TrayWindow::TrayWindow(QWidget* parent) : QWidget(parent), list1_(new QListWidget(this)) {
  setWindowTitle("Form1");
  list1_->setObjectName("List1");
  list1_->setSelectionMode(QAbstractItemView::SingleSelection);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(list1_);
  resize(480, 320);
}

void TrayWindow::AddLine(const QString& line) {
  list1_->addItem(line);
  while (list1_->count() > kMaxLines) delete list1_->takeItem(0);
  list1_->setCurrentRow(list1_->count() - 1);
  list1_->scrollToItem(list1_->currentItem());
}

void TrayWindow::closeEvent(QCloseEvent* event) {
  if (onCloseRequest && !onCloseRequest()) {
    event->ignore();
    return;
  }
  event->accept();
}

}  // namespace toruna::app
