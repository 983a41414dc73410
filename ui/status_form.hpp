// The status window (Tstform): the twelve counters, the progress bar, the
// current step and every status line of a running analysis, and the one
// button that is Cancel, then Continue.
#pragma once

#include <QDialog>
#include <array>
#include <cstdint>
#include <string>

#include "base/status.hpp"

class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTimer;

namespace lk::ui {

class Tstform : public QDialog {
    Q_OBJECT
  public:
    // `status` is the engine's status table, which the timer shows.
    explicit Tstform(Status& status, QWidget* parent = nullptr);

    // Before each analysis: every value 0, fields and list empty, progress 0,
    // Cancel enabled.
    void Reset();
    // The window of a run: the caption names the input; `main` is hidden
    // while the window is up.
    void ShowRun(QWidget* main, const std::string& input_name);
    // Text handler of the status lines ('st0>' and 'st0?').
    void StatusText(std::uint32_t code, const std::string& text);
    // 'st0B': Continue, or closing at once after Cancel.
    void FinishRun();
    // 'st0C': closing at once.
    void AbandonRun();
    // The user pressed Cancel (the button is disabled).
    bool IsCancelled() const;
    // Whether the run has reported its end (Continue shown or closing).
    bool run_ended() const { return ended_; }

    // The 100 ms tick: counters and progress that changed since the last one.
    void Timer1Timer();

    QTimer* timer() const { return Timer1; }

  signals:
    // The window has closed: the main window takes over again.
    void closed();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

  private:
    void CancelClick();
    void CopyExecute();
    void finish_close();

    Status& status_;
    QWidget* main_ = nullptr;
    QLabel* MainLabel;
    std::array<QLineEdit*, kStatusSlots> edits_{};
    std::array<std::uint64_t, kStatusSlots> shown_{};
    std::uint32_t shown_progress_ = 0;
    QPushButton* Cancel;
    QListWidget* ListBox1;
    QProgressBar* ProgressBar1;
    QTimer* Timer1;
    int step_ = 0;
    bool ended_ = false;
    bool closing_ = false;
};

}  // namespace lk::ui
