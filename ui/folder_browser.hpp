// The output directory chooser: a directory tree, the chosen path, and a
// "New directory" button that creates a directory and chooses it at once.
#pragma once

#include <QDialog>
#include <optional>
#include <string>

class QFileSystemModel;
class QLineEdit;
class QPushButton;
class QTreeView;

namespace lk::ui {

class TFolderBrowser : public QDialog {
    Q_OBJECT
  public:
    explicit TFolderBrowser(QWidget* parent = nullptr);

    // Shows the chooser on `start` (when it is a directory); the chosen
    // directory, or none when the user cancels.
    std::optional<std::string> Choose(const std::string& start);

    // The path that OK would return.
    QString result() const;
    void set_result(const QString& path);

    // "New directory": asks for a name; a name starting with "/" is a full
    // path, any other is created in the current path. Created: it becomes the
    // result and the chooser closes as with OK; otherwise an error box and
    // the chooser stays.
    void NewDirectoryClick();
    // Creates `name` as the new-directory button does, without asking.
    bool CreateDirectory(const QString& name);

  protected:
    void accept() override;

  private:
    QFileSystemModel* model_;
    QTreeView* tree_;
    QLineEdit* Path;
    QPushButton* NewDirectory;
    QPushButton* OK;
};

// Remembers the output directory for the whole run of the program: the
// current directory at first, then whatever the user picked last.
class OutputDirectory {
  public:
    std::optional<std::string> Choose(QWidget* parent);
    const std::string& remembered() const { return dir_; }

  private:
    std::string dir_;
};

}  // namespace lk::ui
