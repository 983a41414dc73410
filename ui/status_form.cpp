#include "ui/status_form.hpp"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include "output/size_words.hpp"
#include "ui/qt_text.hpp"
#include "ui/widgets.hpp"
#include "ui/window_texts.hpp"

namespace lk::ui {

namespace {

constexpr int kTimerMs = 100;

const int kFatSlot = status_slot(ST_FAT);
const int kRecoveredSizeSlot = status_slot(ST_RECOVERED_SIZE);
const int kClusterSizeSlot = status_slot(ST_CLUSTER_SIZE);
const int kTotalSizeSlot = status_slot(ST_TOTAL_SIZE);

// A counter's value as the window shows it: sizes with their unit, the file
// system by its name, counts with the language's digit grouping.
QString shown_value(int slot, std::uint64_t value) {
    const QLocale locale;
    // A cluster is a power of two: its bytes say it better than "32.8 KB".
    if (slot == kClusterSizeSlot) return locale.toString(static_cast<qulonglong>(value)) + " " + T("bytes");
    if (slot == kRecoveredSizeSlot || slot == kTotalSizeSlot) return Q(SizeWithUnit(value));
    if (slot == kFatSlot) return value == 64 ? QStringLiteral("exFAT") : "FAT" + QString::number(value);
    return locale.toString(static_cast<qulonglong>(value));
}

}  // namespace

Tstform::Tstform(Status& status, QWidget* parent) : QDialog(parent), status_(status) {
    setObjectName("stform");
    setWindowTitle(T("Recovery status"));
    setWindowFlags(Qt::Window | Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    resize(492, 413);

    MainLabel = new QLabel(T("Reading directory structure..."), this);
    MainLabel->setObjectName("MainLabel");
    MainLabel->setAlignment(Qt::AlignCenter);
    MainLabel->setWordWrap(true);
    QFont bold = MainLabel->font();
    bold.setBold(true);
    MainLabel->setFont(bold);
    MainLabel->setStyleSheet("color: blue;");

    auto group = [&](const char* name, const char* caption, int first) {
        auto* box = new QGroupBox(T(caption), this);
        box->setObjectName(name);
        auto* form = new QFormLayout(box);
        for (int slot = first; slot < first + kStatusSlots / 2; ++slot) {
            auto* edit = new QLineEdit(box);
            edit->setObjectName(QString("Edit%1").arg(slot + 1));
            edit->setReadOnly(true);
            edit->setAlignment(Qt::AlignRight);
            edit->setMinimumWidth(edit->fontMetrics().horizontalAdvance("9,999,999,999,999") + 12);
            // The FAT type's field names what it shows: the file system.
            form->addRow(slot == kFatSlot ? T("File system") : T(kStatusCaptions[static_cast<std::size_t>(slot)]),
                         edit);
            edits_[static_cast<std::size_t>(slot)] = edit;
        }
        return box;
    };
    auto* groups = new QHBoxLayout;
    groups->addWidget(group("GroupBox1", "Analysis", 0));
    groups->addWidget(group("GroupBox2", "Totals", kStatusSlots / 2));

    Cancel = MakeButton(this, "Cancel", T("Cancel"));
    connect(Cancel, &QPushButton::clicked, this, &Tstform::CancelClick);
    auto* buttons = CentredRow(Cancel);

    ListBox1 = new QListWidget(this);
    ListBox1->setObjectName("ListBox1");
    KeepOwnTexts(ListBox1);  // the analysis' own lines
    ListBox1->setContextMenuPolicy(Qt::ActionsContextMenu);
    auto* copy = new QAction(T("&Copy"), ListBox1);
    copy->setObjectName("acCopy");
    copy->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
    copy->setShortcutContext(Qt::WidgetShortcut);
    copy->setStatusTip(T("Copy"));
    copy->setToolTip(T("Copy"));
    connect(copy, &QAction::triggered, this, &Tstform::CopyExecute);
    ListBox1->addAction(copy);

    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName("ProgressBar1");
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setTextVisible(false);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(MainLabel);
    layout->addLayout(groups);
    layout->addLayout(buttons);
    layout->addWidget(ListBox1, 1);
    layout->addWidget(ProgressBar1);

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(kTimerMs);
    connect(Timer1, &QTimer::timeout, this, &Tstform::Timer1Timer);
}

void Tstform::Reset() {
    status_.ResetValues();
    shown_.fill(0);
    shown_progress_ = 0;
    // The analysis' counters start at 0; the card's totals are blank until known.
    for (int slot = 0; slot < kStatusSlots; ++slot)
        edits_[static_cast<std::size_t>(slot)]->setText(slot < kStatusSlots / 2 ? shown_value(slot, 0) : QString());
    Cancel->setEnabled(true);
    Cancel->setText(T("Cancel"));
    ProgressBar1->setValue(0);
    ListBox1->clear();
    MainLabel->setText(T("Reading directory structure..."));
    ended_ = false;
    closing_ = false;
}

void Tstform::ShowRun(QWidget* main, const std::string& input_name) {
    main_ = main;
    const QString caption = T("Recovery of ") + Q(input_name);
    setWindowTitle(caption);
    if (main_) {
        // Centred over the main window, which stays where it is and waits.
        move(main_->geometry().center() - rect().center());
    }
    step_ = 0;
    Timer1->start();
    show();
    raise();
    activateWindow();
}

void Tstform::StatusText(std::uint32_t code, const std::string& text) {
    if (!isVisible() || closing_) return;
    if (code == ST_STEP) {
        // A numbered step names its method: the label says the step the
        // list shows.
        std::size_t digits = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
        if (digits > 0 && digits < text.size() && text[digits] == '.') {
            step_ = std::stoi(text.substr(0, digits));
            MainLabel->setText(TF("Recovery method %d", step_) + "...");
        } else {
            MainLabel->setText(Q(text));
        }
    }
    if (text.empty()) return;
    ListBox1->addItem(Q(text));
    ListBox1->setCurrentRow(ListBox1->count() - 1);
}

void Tstform::Timer1Timer() {
    for (int slot = 0; slot < kStatusSlots; ++slot) {
        const std::uint64_t value = status_.value(slot);
        auto& shown = shown_[static_cast<std::size_t>(slot)];
        if (value == shown) continue;
        shown = value;
        edits_[static_cast<std::size_t>(slot)]->setText(shown_value(slot, value));
    }
    const std::uint32_t progress = status_.progress();
    if (progress != shown_progress_) {
        shown_progress_ = progress;
        ProgressBar1->setValue(static_cast<int>(std::min<std::uint32_t>(progress, 100)));
    }
}

void Tstform::CancelClick() {
    if (Cancel->text() == T("Cancel")) {
        Cancel->setEnabled(false);
        Cancel->setText(T("Wait..."));
        status_.RequestCancel();
    } else {
        close();
    }
}

bool Tstform::IsCancelled() const {
    return !Cancel->isEnabled();
}

void Tstform::FinishRun() {
    ended_ = true;
    if (Cancel->isEnabled()) {
        Timer1Timer();  // the final counters, before the user reads them
        ProgressBar1->setValue(0);
        Cancel->setText(T("Continue"));
        Cancel->setDefault(true);
        Cancel->setFocus();
        QApplication::beep();
        QApplication::alert(this);  // the window manager's "needs attention"
    } else {
        close();
    }
}

void Tstform::AbandonRun() {
    ended_ = true;
    close();
}

void Tstform::reject() {
    close();
}

void Tstform::closeEvent(QCloseEvent* event) {
    if (!ended_) {
        // Closing the window of a running analysis stops it like Cancel:
        // the worker still owns the catalogue, and its end notice closes
        // the window.
        if (Cancel->isEnabled()) CancelClick();
        event->ignore();
        return;
    }
    event->accept();
    finish_close();
}

void Tstform::finish_close() {
    if (closing_) return;
    closing_ = true;
    Timer1->stop();
    // No more status lines reach the window; the next run starts afresh.
    status_.detach();
    status_.ResetCancel();
    Cancel->setEnabled(true);
    Cancel->setText(T("Cancel"));
    Cancel->setDefault(false);
    emit closed();
}

void Tstform::CopyExecute() {
    QStringList lines;
    for (int i = 0; i < ListBox1->count(); ++i) lines << ListBox1->item(i)->text();
    QApplication::clipboard()->setText(lines.join("\n"));
}

}  // namespace lk::ui
