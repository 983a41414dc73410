// The progress dialog of the copy workers (TCopyProgress) and the hand-over
// through which a worker drives it.
#pragma once

#include <QDialog>
#include <QPointer>
#include <cstdint>
#include <string>

#include "input/copy_progress.hpp"

class QLabel;
class QProgressBar;
class QPushButton;

namespace lk {
class Status;
}

namespace lk::ui {

class TCopyProgress : public QDialog {
    Q_OBJECT
  public:
    explicit TCopyProgress(QWidget* parent = nullptr);

    // The first label ("Copying files", "Creating card image backup...").
    void SetCaption(const QString& text);
    // The hand-over, on the GUI thread: 0 hides "Errors"; 100 hides the
    // dialog and enables Cancel again; anything else shows the dialog, the
    // bar and, when there are any, the read errors.
    void HandOver(int percent, std::uint32_t read_errors);
    // Cancel has been pressed (the button is disabled).
    bool CancelPressed() const;

  signals:
    void cancelPressed();

  protected:
    void reject() override;

  private:
    QLabel* Label1;
    QProgressBar* ProgressBar1;
    QLabel* Label2;
    QPushButton* Cancel;
};

// A copy worker's side of the hand-over: every report is a synchronised call
// into the dialog, which also passes the user's Cancel on to the worker (and
// to the engine's reads, which then give up on a damaged block sooner).
class GuiCopyProgress final : public CopyProgress {
  public:
    GuiCopyProgress(TCopyProgress& dialog, Status& status);
    void hand_over(int percent, std::uint32_t read_errors) override;
    // "Copying NAME..." in the dialog.
    void item_started(const std::string& path) override;

  private:
    QPointer<TCopyProgress> dialog_;
    Status& status_;
};

}  // namespace lk::ui
