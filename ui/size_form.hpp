// The card parameters dialog (TSizeForm): the card size and cluster size the
// analysis should assume, the expert options and the sector range.
#pragma once

#include <QDialog>
#include <cstdint>

#include "base/reporter.hpp"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSplitter;
class QWidget;

namespace lk::ui {

// The size an item of the card size list stands for: rows 0..20 of the card
// size table, then "128GB", which the table has no row for: it stands for
// twice the 64GB row, as each item doubles the one before. -1 for "Custom size".
std::int64_t CardSizeItemBytes(int index);
inline constexpr int kCustomSizeItem = 22;
// Units of the custom size and the movie limit.
inline constexpr std::int64_t kMegabyte = 1'024'000;

class TSizeForm : public QDialog {
    Q_OBJECT
  public:
    explicit TSizeForm(QWidget* parent = nullptr);

    // Shows the dialog modally for the engine's question. Returns the card
    // size (0 when cancelled); on OK `p` holds the cluster size, the movie
    // limit, the sector range and the three check boxes.
    std::uint64_t AskCardParameters(CardParameters& p);

    // The selected size in bytes; 0 when the custom text is not a number or
    // is 1,073,741 or more.
    std::uint64_t DialogSize() const;

    // What the input dialog does when expert mode is off: ignore off, fast
    // read on, no sector range.
    void ResetExpertChoices();
    bool ignore_fat() const;
    bool fast_read() const;
    bool truncate_uniform() const;
    void set_ignore_fat(bool on);
    bool range_shown() const;
    // The range group's current start and end (byte offsets, -1 invalid).
    std::int64_t range_start() const { return start_; }
    std::int64_t range_end() const { return end_; }

    // Toggles the range group (the "Range" button).
    void RangeClick();

  protected:
    void accept() override;
    void resizeEvent(QResizeEvent* event) override;
    // A language change: the sizes' units and the Range button's caption.
    void changeEvent(QEvent* event) override;

  private:
    // The texts this dialog composes: sizes with their units, and "Range"
    // with the arrow that says whether the group is shown.
    void compose_texts();
    void CardSizeChange();
    void CustomSizeChange();
    void IgnoreFatClick();
    void refill_range();
    void edit_changed(QLineEdit* edit);
    void splitter_moved();
    // Fields, (optionally) the bar, and the validation from start_ and end_.
    void show_range(bool update_bar);
    void validate();
    int usable_width() const;
    int cluster_index() const;

    // The dialog as the engine asked it.
    CardParameters asked_;
    std::uint64_t default_size_ = 0;
    std::int64_t accepted_size_ = -1;
    bool refill_due_ = true;
    int cluster_before_ignore_ = 1;
    std::int64_t start_ = 0;
    std::int64_t end_ = 0;
    bool updating_ = false;

    QComboBox* CardSize;
    QLineEdit* CustomSize;
    QComboBox* ClusterSize;
    QCheckBox* ignore_fat_;
    QCheckBox* fast_read_;
    QCheckBox* truncate_uniform_;
    QLineEdit* EditTruncateMovies;
    QPushButton* Range;
    QGroupBox* GroupBoxRange;
    QLineEdit* EditStartMB;
    QLineEdit* EditEndMB;
    QLineEdit* EditSizeMB;
    QLineEdit* EditStartSector;
    QLineEdit* EditEndSector;
    QLineEdit* EditSizeSector;
    QSplitter* RangePanel;
    QWidget* LeftPanel;
    QWidget* ClientPanel;
    QWidget* RightPanel;
    QPushButton* OK;
};

}  // namespace lk::ui
