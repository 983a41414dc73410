// Where a save goes. The dialog proposes a folder (a new one under the
// user's Pictures folder named after the card and the day, or the one this
// card was last saved into), lets the user type another or pick one in the
// desktop's own folder dialog, and checks it before anything is written:
// a folder that cannot take the files is refused there, with the reason.
#pragma once

#include <QDialog>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "output/save.hpp"

class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace lk::ui {

class TSaveDialog : public QDialog {
    Q_OBJECT
  public:
    // The refusal for a folder (empty when it can take the files).
    using Check = std::function<std::string(const std::string& folder)>;
    TSaveDialog(QWidget* parent, const QString& what, const QString& proposed, Check check);

    QString folder() const;
    void set_folder(const QString& path);
    // "Choose Folder...": the desktop's folder dialog, on the proposed folder
    // or the nearest folder above it that exists.
    void ChooseClick();

  protected:
    void accept() override;

  private:
    Check check_;
    QLineEdit* Folder;
    QPushButton* Choose;
    QLabel* Problem;
    QDialogButtonBox* Buttons;
};

// The folder the files of one card go into: proposed afresh for each card,
// then the one last used for it.
class OutputDirectory {
  public:
    // Asks where to save `list` (the card named input_name); none when the
    // user cancels.
    std::optional<std::string> Choose(QWidget* parent, const std::string& input_name,
                                      const std::vector<SaveItem>& list);
    const std::string& remembered() const { return dir_; }

  private:
    std::string card_;
    std::string dir_;
};

// The end of a save: one box with what was saved where, what was already
// there, what failed and why; "Open Folder" shows the folder.
void ShowSaveSummary(QWidget* parent, const SaveOutcome& outcome, const std::string& folder);

}  // namespace lk::ui
