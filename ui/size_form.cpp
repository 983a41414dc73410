#include "ui/size_form.hpp"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSplitter>
#include <QVBoxLayout>
#include <iterator>
#include <string_view>

#include "engine/card_parameters.hpp"
#include "engine/fat_tables.hpp"
#include "engine/geometry.hpp"
#include "ui/message_boxes.hpp"
#include "ui/qt_text.hpp"
#include "ui/widgets.hpp"
#include "ui/window_texts.hpp"

namespace lk::ui {

namespace {

// A size in the lists: "1MB", "512 bytes", with the unit in the user's
// language.
struct SizeItem {
    int number;
    const char* unit;
};
constexpr SizeItem kCardSizeItems[] = {
    {1, "MB"},   {2, "MB"},   {4, "MB"},  {8, "MB"},   {16, "MB"},  {32, "MB"},
    {48, "MB"},  {64, "MB"},  {96, "MB"}, {128, "MB"}, {192, "MB"}, {256, "MB"},
    {384, "MB"}, {512, "MB"}, {1, "GB"},  {2, "GB"},   {4, "GB"},   {8, "GB"},
    {16, "GB"},  {32, "GB"},  {64, "GB"}, {128, "GB"}};  // then "Custom size"
// Item i stands for 512 x 2^i bytes; exFAT cards use clusters up to 32 MB.
constexpr SizeItem kClusterItems[] = {{512, "bytes"}, {1, "KB"},   {2, "KB"},   {4, "KB"},  {8, "KB"},
                                      {16, "KB"},     {32, "KB"},  {64, "KB"},  {128, "KB"}, {256, "KB"},
                                      {512, "KB"},    {1, "MB"},   {2, "MB"},   {4, "MB"},  {8, "MB"},
                                      {16, "MB"},     {32, "MB"}};
static_assert(std::size(kClusterItems) == kClusterSizeChoices);

QString size_text(const SizeItem& item) {
    // "bytes" is a word; the abbreviations follow the number directly.
    const bool word = std::string_view(item.unit) == "bytes";
    return QString::number(item.number) + (word ? " " : "") + T(item.unit);
}
constexpr std::int64_t kCustomLimit = 1'073'741;  // units; the first that is refused

// A whole number from a field; -1 when it is not one.
std::int64_t field_number(const QLineEdit* edit) {
    bool ok = false;
    const qlonglong v = edit->text().trimmed().toLongLong(&ok);
    return ok && v >= 0 ? v : -1;
}

QWidget* bar_panel(const char* name, const QColor& colour, QWidget* parent) {
    auto* panel = new QWidget(parent);
    panel->setObjectName(name);
    panel->setAutoFillBackground(true);
    QPalette pal = panel->palette();
    pal.setColor(QPalette::Window, colour);
    panel->setPalette(pal);
    panel->setMinimumWidth(1);
    return panel;
}

}  // namespace

std::int64_t CardSizeItemBytes(int index) {
    if (index >= 0 && index < kCardSizeRows)
        return std::int64_t(kCardSizeTable[static_cast<std::size_t>(index)].total_sectors) * 512;
    if (index == kCardSizeRows) return 2 * CardSizeItemBytes(kCardSizeRows - 1);
    return -1;
}

TSizeForm::TSizeForm(QWidget* parent) : QDialog(parent) {
    setObjectName("SizeForm");
    setWindowTitle(T("Card parameters"));

    auto* Label1 = new QLabel(T("Standard or Custom card size"), this);
    Label1->setObjectName("Label1");
    CardSize = new QComboBox(this);
    CardSize->setObjectName("CardSize");
    KeepOwnTexts(CardSize);  // composed here
    for (std::size_t i = 0; i <= std::size(kCardSizeItems); ++i) CardSize->addItem({});
    auto* Label3 = new QLabel(T("or specify the custom card size in MB"), this);
    Label3->setObjectName("Label3");
    CustomSize = new QLineEdit(this);
    CustomSize->setObjectName("CustomSize");
    auto* Label2 = new QLabel(T("Please pick the cluster size:"), this);
    Label2->setObjectName("Label2");
    ClusterSize = new QComboBox(this);
    ClusterSize->setObjectName("ClusterSize");
    KeepOwnTexts(ClusterSize);
    for (std::size_t i = 0; i < std::size(kClusterItems); ++i) ClusterSize->addItem({});

    ignore_fat_ = new QCheckBox(T("&Ignore directories and FAT"), this);
    ignore_fat_->setObjectName("ignore_fat");
    ignore_fat_->setToolTip(T("If checked, Lumenkeeper will ignore the directory structure"));
    fast_read_ = new QCheckBox(T("&Fast read"), this);
    fast_read_->setObjectName("fast_read");
    fast_read_->setChecked(true);
    fast_read_->setToolTip(T("If checked, Lumenkeeper will read many sectors at once"));
    truncate_uniform_ = new QCheckBox(T("&Truncate uniform files"), this);
    truncate_uniform_->setObjectName("truncate_uniform");
    truncate_uniform_->setChecked(true);
    truncate_uniform_->setToolTip(T("If checked, Lumenkeeper will read many sectors at once"));

    auto* Label7 = new QLabel(T("Truncate movies at"), this);
    Label7->setObjectName("Label7");
    EditTruncateMovies = new QLineEdit(this);
    EditTruncateMovies->setObjectName("EditTruncateMovies");
    EditTruncateMovies->setMaximumWidth(
        EditTruncateMovies->fontMetrics().horizontalAdvance("0000000") + 16);
    auto* Label8 = new QLabel(T("MB"), this);
    Label8->setObjectName("Label8");

    Range = MakeButton(this, "Range", {});
    KeepOwnTexts(Range);
    OK = MakeButton(this, "OK", T("OK"), true);
    auto* Cancel = MakeButton(this, "Cancel", T("Cancel"));

    GroupBoxRange = new QGroupBox(T("Range"), this);
    GroupBoxRange->setObjectName("GroupBoxRange");
    auto* grid = new QGridLayout(GroupBoxRange);
    auto edit = [&](const char* name, bool read_only) {
        auto* e = new QLineEdit(GroupBoxRange);
        e->setObjectName(name);
        e->setReadOnly(read_only);
        e->setAlignment(Qt::AlignRight);
        e->setMinimumWidth(e->fontMetrics().horizontalAdvance("99999999999") + 12);
        if (!read_only) connect(e, &QLineEdit::textEdited, this, [this, e] { edit_changed(e); });
        return e;
    };
    grid->addWidget(new QLabel(T("Start"), GroupBoxRange), 0, 1, Qt::AlignCenter);
    grid->addWidget(new QLabel(T("End"), GroupBoxRange), 0, 2, Qt::AlignCenter);
    grid->addWidget(new QLabel(T("Size"), GroupBoxRange), 0, 3, Qt::AlignCenter);
    grid->addWidget(new QLabel(T("MBs"), GroupBoxRange), 1, 0);
    grid->addWidget(new QLabel(T("Sectors"), GroupBoxRange), 2, 0);
    grid->addWidget(EditStartMB = edit("EditStartMB", false), 1, 1);
    grid->addWidget(EditEndMB = edit("EditEndMB", false), 1, 2);
    grid->addWidget(EditSizeMB = edit("EditSizeMB", true), 1, 3);
    grid->addWidget(EditStartSector = edit("EditStartSector", false), 2, 1);
    grid->addWidget(EditEndSector = edit("EditEndSector", false), 2, 2);
    grid->addWidget(EditSizeSector = edit("EditSizeSector", true), 2, 3);
    // The bar: the grey panels stand for what lies outside the range, the
    // green one for the range itself; the handles move its ends.
    RangePanel = new QSplitter(Qt::Horizontal, GroupBoxRange);
    RangePanel->setObjectName("RangePanel");
    RangePanel->setChildrenCollapsible(false);
    RangePanel->setHandleWidth(6);
    RangePanel->setFixedHeight(RangePanel->fontMetrics().height() + 6);
    LeftPanel = bar_panel("LeftPanel", QColor(128, 128, 128), RangePanel);
    ClientPanel = bar_panel("ClientPanel", QColor(0, 160, 0), RangePanel);
    RightPanel = bar_panel("RightPanel", QColor(128, 128, 128), RangePanel);
    RangePanel->addWidget(LeftPanel);
    RangePanel->addWidget(ClientPanel);
    RangePanel->addWidget(RightPanel);
    RangePanel->handle(1)->setObjectName("LeftSplitter");
    RangePanel->handle(2)->setObjectName("RightSplitter");
    grid->addWidget(RangePanel, 3, 0, 1, 4);
    connect(RangePanel, &QSplitter::splitterMoved, this, [this] { splitter_moved(); });
    GroupBoxRange->hide();
    compose_texts();

    auto* form = new QGridLayout;
    form->addWidget(Label1, 0, 0);
    form->addWidget(CardSize, 0, 1);
    form->addWidget(Label3, 1, 0);
    form->addWidget(CustomSize, 1, 1);
    form->addWidget(Label2, 2, 0);
    form->addWidget(ClusterSize, 2, 1);
    auto* movies = new QHBoxLayout;
    movies->addWidget(Label7);
    movies->addWidget(EditTruncateMovies);
    movies->addWidget(Label8);
    movies->addStretch();
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(Range);
    buttons->addStretch();
    buttons->addWidget(OK);
    buttons->addWidget(Cancel);
    auto* layout = new QVBoxLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize);  // collapsed and expanded heights
    layout->addLayout(form);
    layout->addWidget(ignore_fat_);
    layout->addWidget(fast_read_);
    layout->addWidget(truncate_uniform_);
    layout->addLayout(movies);
    layout->addWidget(GroupBoxRange);
    layout->addLayout(buttons);

    connect(CardSize, &QComboBox::activated, this, [this] { CardSizeChange(); });
    connect(CustomSize, &QLineEdit::textEdited, this, [this] { CustomSizeChange(); });
    connect(ClusterSize, &QComboBox::activated, this, [this] { validate(); });
    connect(ignore_fat_, &QCheckBox::clicked, this, [this] { IgnoreFatClick(); });
    connect(Range, &QPushButton::clicked, this, &TSizeForm::RangeClick);
    connect(OK, &QPushButton::clicked, this, &TSizeForm::accept);
    connect(Cancel, &QPushButton::clicked, this, &TSizeForm::reject);
}

std::uint64_t TSizeForm::DialogSize() const {
    const int index = CardSize->currentIndex();
    if (index != kCustomSizeItem)
        return static_cast<std::uint64_t>(std::max<std::int64_t>(CardSizeItemBytes(index), 0));
    const std::int64_t units = field_number(CustomSize);
    if (units < 0 || units >= kCustomLimit) return 0;
    return static_cast<std::uint64_t>(units * kMegabyte);
}

void TSizeForm::ResetExpertChoices() {
    ignore_fat_->setChecked(false);
    fast_read_->setChecked(true);
    if (range_shown()) RangeClick();
}

bool TSizeForm::ignore_fat() const {
    return ignore_fat_->isChecked();
}
bool TSizeForm::fast_read() const {
    return fast_read_->isChecked();
}
bool TSizeForm::truncate_uniform() const {
    return truncate_uniform_->isChecked();
}
void TSizeForm::set_ignore_fat(bool on) {
    ignore_fat_->setChecked(on);
}
bool TSizeForm::range_shown() const {
    return !GroupBoxRange->isHidden();
}

int TSizeForm::cluster_index() const {
    return std::max(ClusterSize->currentIndex(), 0);
}

std::uint64_t TSizeForm::AskCardParameters(CardParameters& p) {
    asked_ = p;
    default_size_ = p.default_size;
    if (!p.expert_mode) {
        ignore_fat_->setChecked(false);
        fast_read_->setChecked(true);
        truncate_uniform_->setChecked(true);
        if (range_shown()) RangeClick();
    } else {
        ignore_fat_->setChecked(p.ignore_fat);
        fast_read_->setChecked(p.fast_read);
        truncate_uniform_->setChecked(p.truncate_uniform);
    }

    CustomSize->clear();
    const int row = nearest_card_size(static_cast<std::int64_t>(default_size_));
    const std::int64_t row_size = CardSizeItemBytes(row);
    const std::int64_t diff = std::abs(row_size - static_cast<std::int64_t>(default_size_));
    // More than a tenth away from every standard size: a custom size. So is
    // a card a little larger than the nearest standard size (an image of
    // 2 GiB beside the "2GB" card of 2,097,152,000 bytes): taking the row
    // would leave the card's last megabytes unread.
    if (diff * 10 > static_cast<std::int64_t>(default_size_) || row_size < static_cast<std::int64_t>(default_size_)) {
        CardSize->setCurrentIndex(kCustomSizeItem);
        CustomSize->setText(QString::number((default_size_ + kMegabyte - 1) / kMegabyte));
    } else {
        CardSize->setCurrentIndex(row);
    }
    EditTruncateMovies->setText(QString::number(p.movie_limit / kMegabyte));
    if (accepted_size_ >= 0 && static_cast<std::int64_t>(DialogSize()) != accepted_size_)
        refill_due_ = true;
    if (range_shown() && refill_due_) refill_range();

    CardParameters offered = p;
    offered.ignore_fat = ignore_fat_->isChecked();
    const std::uint32_t cluster = offered_cluster_size(offered);
    int index = 0;
    while (index < kClusterSizeChoices - 1 && (512u << index) != cluster) ++index;
    ClusterSize->setCurrentIndex(index);
    cluster_before_ignore_ = index;
    validate();

    // Centred on the window in front (the status window during a run).
    if (QWidget* front = QApplication::activeWindow(); front && front != this)
        move(front->geometry().center() - QPoint(sizeHint().width() / 2, sizeHint().height() / 2));
    const int result = exec();
    accepted_size_ = static_cast<std::int64_t>(DialogSize());
    if (result != QDialog::Accepted) return 0;

    p.cluster_size = 512u << cluster_index();
    if (const std::int64_t movies = field_number(EditTruncateMovies); movies > 0)
        p.movie_limit = static_cast<std::uint64_t>(movies) * kMegabyte;
    p.range = SectorRange{};
    if (range_shown()) {
        const std::int64_t size = static_cast<std::int64_t>(DialogSize());
        const std::int64_t s = field_number(EditStartSector), e = field_number(EditEndSector);
        p.range.start = s >= 0 && s * 512 < size ? s * 512 : -1;
        p.range.end = e > 0 && e * 512 <= size ? e * 512 : -1;
    }
    p.ignore_fat = ignore_fat_->isChecked();
    p.fast_read = fast_read_->isChecked();
    p.truncate_uniform = truncate_uniform_->isChecked();
    return DialogSize();
}

void TSizeForm::accept() {
    const std::uint64_t size = DialogSize();
    CardParameters chosen = asked_;
    chosen.cluster_size = 512u << cluster_index();
    chosen.ignore_fat = ignore_fat_->isChecked();
    if (const char* refusal = check_card_parameters(size, chosen)) {
        ShowMessage(MessageKind::Error, translate("Error"), translate(refusal));
        return;
    }
    QDialog::accept();
}

void TSizeForm::CardSizeChange() {
    if (CardSize->currentIndex() == kCustomSizeItem && CustomSize->text().isEmpty())
        CustomSize->setText(QString::number((default_size_ + kMegabyte - 1) / kMegabyte));
    refill_due_ = true;
    if (range_shown()) refill_range();
    validate();
}

void TSizeForm::CustomSizeChange() {
    CardSize->setCurrentIndex(kCustomSizeItem);
    refill_due_ = true;
    if (range_shown()) refill_range();
    validate();
}

void TSizeForm::IgnoreFatClick() {
    if (ignore_fat_->isChecked()) {
        cluster_before_ignore_ = cluster_index();
        // The smallest cluster that keeps the count within the FAT32 limit.
        const std::uint32_t size =
            minimal_cluster_size(FAT32, true, static_cast<std::int64_t>(DialogSize()), 512);
        int index = 0;
        while (index < kClusterSizeChoices - 1 && (512u << index) < size) ++index;
        ClusterSize->setCurrentIndex(index);
    } else {
        ClusterSize->setCurrentIndex(cluster_before_ignore_);
    }
}

void TSizeForm::RangeClick() {
    if (range_shown()) {
        GroupBoxRange->hide();
    } else {
        GroupBoxRange->show();
        if (refill_due_) refill_range();
    }
    compose_texts();
    validate();
}

void TSizeForm::compose_texts() {
    for (std::size_t i = 0; i < std::size(kCardSizeItems); ++i)
        CardSize->setItemText(static_cast<int>(i), size_text(kCardSizeItems[i]));
    CardSize->setItemText(static_cast<int>(std::size(kCardSizeItems)), T("Custom size"));
    for (std::size_t i = 0; i < std::size(kClusterItems); ++i)
        ClusterSize->setItemText(static_cast<int>(i), size_text(kClusterItems[i]));
    Range->setText(T("Range") + (range_shown() ? " <<" : " >>"));
}

void TSizeForm::changeEvent(QEvent* event) {
    if (event->type() == QEvent::LanguageChange) compose_texts();
    QDialog::changeEvent(event);
}

int TSizeForm::usable_width() const {
    return std::max(RangePanel->width() - 2 * RangePanel->handleWidth() - 3, 1);
}

void TSizeForm::refill_range() {
    start_ = 0;
    end_ = static_cast<std::int64_t>(DialogSize());
    refill_due_ = false;
    show_range(true);
}

void TSizeForm::edit_changed(QLineEdit* edit) {
    if (updating_) return;
    const std::int64_t n = field_number(edit);
    const std::int64_t unit = edit == EditStartMB || edit == EditEndMB ? kMegabyte : 512;
    const std::int64_t value = n < 0 ? -1 : n * unit;
    if (edit == EditStartMB || edit == EditStartSector)
        start_ = value;
    else
        end_ = value;
    // The other representations follow; the field typed in keeps its text.
    updating_ = true;
    const QString typed = edit->text();
    show_range(true);
    edit->setText(typed);
    updating_ = false;
}

void TSizeForm::splitter_moved() {
    if (updating_) return;
    const QList<int> sizes = RangePanel->sizes();
    const std::int64_t size = static_cast<std::int64_t>(DialogSize());
    const std::int64_t usable = usable_width();
    const int left = sizes.value(0), client = sizes.value(1), right = sizes.value(2);
    if (client <= 1) {
        // The range has shrunk to nothing: it keeps one sector.
        start_ = end_ - 512;
        end_ = start_ + 512;
    } else {
        start_ = left <= 1 ? 0 : size * left / usable;
        end_ = right <= 1 ? size : size - size * right / usable;
    }
    updating_ = true;
    show_range(false);  // the bar keeps what the drag made of it
    updating_ = false;
}

void TSizeForm::show_range(bool update_bar) {
    const bool guard = updating_;
    updating_ = true;
    auto text = [](std::int64_t bytes, std::int64_t unit) {
        return bytes < 0 ? QString() : QString::number(bytes / unit);
    };
    EditStartMB->setText(text(start_, kMegabyte));
    EditEndMB->setText(text(end_, kMegabyte));
    EditStartSector->setText(text(start_, 512));
    EditEndSector->setText(text(end_, 512));
    const std::int64_t size = static_cast<std::int64_t>(DialogSize());
    if (size > 0 && update_bar) {
        const std::int64_t usable = usable_width();
        const int left = static_cast<int>(usable * std::max<std::int64_t>(start_, 0) / size + 1);
        const int right = static_cast<int>(
            usable * std::max<std::int64_t>(size - std::max<std::int64_t>(end_, 0), 0) / size + 1);
        const int client = std::max(static_cast<int>(usable) + 3 - left - right, 1);
        RangePanel->setSizes({left, client, right});
    }
    updating_ = guard;
    validate();
}

void TSizeForm::validate() {
    const std::int64_t size = static_cast<std::int64_t>(DialogSize());
    for (QWidget* w : {static_cast<QWidget*>(EditStartMB), static_cast<QWidget*>(EditEndMB),
                       static_cast<QWidget*>(EditStartSector), static_cast<QWidget*>(EditEndSector),
                       static_cast<QWidget*>(RangePanel)})
        w->setEnabled(size > 0);
    if (!range_shown()) {
        OK->setEnabled(true);
        return;
    }
    const bool start_ok = start_ >= 0 && start_ < size && start_ < end_;
    const bool end_ok = end_ > 0 && end_ <= size && end_ > start_;
    if (start_ok && end_ok) {
        EditSizeMB->setText(QString::number((end_ - start_) / kMegabyte));
        EditSizeSector->setText(QString::number((end_ - start_) / 512));
    } else {
        EditSizeMB->clear();
        EditSizeSector->clear();
    }
    OK->setEnabled(start_ok && end_ok);
}

void TSizeForm::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    if (range_shown() && !updating_) show_range(true);
}

}  // namespace lk::ui
