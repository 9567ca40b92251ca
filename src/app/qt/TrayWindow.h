#pragma once
// The window captioned "Form1" with its log list List1. Closing it through the
// title bar does not close it: the request goes to onCloseRequest, which says
// whether the close may go ahead.

#include <QListWidget>
#include <QWidget>
#include <functional>

class QCloseEvent;

namespace toruna::app {

class TrayWindow : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kMaxLines = 100;

  explicit TrayWindow(QWidget* parent = nullptr);

  // Appends a line, drops the oldest beyond kMaxLines, selects the last one and
  // scrolls it into view.
  void AddLine(const QString& line);
  QListWidget& List1() { return *list1_; }

  // Returns true when the close may go ahead; unset: it always may.
  std::function<bool()> onCloseRequest;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  QListWidget* list1_;
};

}  // namespace toruna::app
