// The wait box (TWaitSize): shown around a long wait on the GUI thread (the
// drive-size search), with a Cancel button.
#pragma once

#include <QDialog>
#include <QPointer>
#include <string>
#include <vector>

class QLabel;
class QPushButton;

namespace lk::ui {

class TWaitSize : public QDialog {
    Q_OBJECT
  public:
    explicit TWaitSize(QWidget* parent = nullptr);

    // Disables the other windows, shows `text` and an enabled Cancel.
    void ShowWaitBox(const QString& text);
    // Processes pending events, then answers whether Cancel was pressed.
    bool WaitBoxCancelled();
    // Enables the other windows again and hides the box.
    void HideWaitBox();

  protected:
    void reject() override;

  private:
    QLabel* Label1;
    QPushButton* Cancel;
    std::vector<QPointer<QWidget>> disabled_;
};

}  // namespace lk::ui
