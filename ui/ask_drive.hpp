// The input selection dialog (TAskDrive): a volume, a physical drive or a
// file, and the options of the analysis; it keeps asking until an input opens
// or the user cancels.
#pragma once

#include <QDialog>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "input/drives.hpp"

class QCheckBox;
class QComboBox;
class QFileDialog;
class QGroupBox;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;

namespace lk {
class Input;
struct AnalysisOptions;
}  // namespace lk

namespace lk::ui {

class TSizeForm;
class TWaitSize;
struct DiskServiceAnswer;

enum class InputKind { Logical, Physical, File };

class TAskDrive : public QDialog {
    Q_OBJECT
  public:
    TAskDrive(Input& input, AnalysisOptions& options, TSizeForm& size_form, TWaitSize& wait,
              QWidget* parent = nullptr);

    // Runs the dialog: true when an input has been opened (it is then the
    // current input, its determined size in input.input_size, 0 when not
    // determined); false when the user cancelled (nothing changed).
    // include_all is the "-L" switch: every volume and the system disk too.
    bool ChooseInput(bool include_all);
    // Whether the input last opened is a drive (not a file).
    bool chosen_drive() const { return chosen_drive_; }

    // Preselects "File" with a path (the program's argument).
    void PreselectFile(const QString& path);
    void SetKind(InputKind kind);
    InputKind kind() const;
    bool expert_mode() const;
    void set_expert_mode(bool on);

    // How a drive is opened when this user may not open it: the desktop's
    // disk service. Replaceable in tests.
    std::function<DiskServiceAnswer(const std::string& device)> disk_service;
    // Whether drives that cannot be opened here are worth listing (a disk
    // service may open them).
    bool disk_service_expected = true;

  protected:
    void accept() override;

  private:
    void prepare(bool include_all);
    void build_physical_list();
    void update_state();
    void AskFileClick();
    bool open_chosen();
    bool open_through_service(const std::string& device, int number);

    Input& input_;
    AnalysisOptions& options_;
    TSizeForm& size_form_;
    TWaitSize& wait_;
    bool include_all_ = false;
    bool shown_before_ = false;
    bool chosen_drive_ = false;
    std::string remembered_volume_;
    std::vector<volume_info_t> volumes_;
    std::vector<drive_info_t> physical_;

    QRadioButton* ldrive;
    QRadioButton* pdrive;
    QRadioButton* file;
    QComboBox* DriveComboBox1;
    QListWidget* ListBox1;
    QLineEdit* fname;
    QPushButton* askfile;
    QCheckBox* cache;
    QCheckBox* ExpertMode;
    QCheckBox* autosize;
    QCheckBox* ThumbnailRendering;
    QPushButton* Button1;
};

}  // namespace lk::ui
