#include "ui/copy_progress.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "base/status.hpp"
#include "ui/gui_thread.hpp"
#include "ui/qt_text.hpp"
#include "ui/widgets.hpp"

namespace lk::ui {

TCopyProgress::TCopyProgress(QWidget* parent) : QDialog(parent) {
    setObjectName("CopyProgress");
    setWindowTitle(T("Copy progress"));
    setWindowFlags(Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint);
    Label1 = new QLabel(T("Copying files"), this);
    Label1->setObjectName("Label1");
    Label1->setAlignment(Qt::AlignCenter);
    // Long names must not widen the dialog beyond the screen.
    Label1->setMinimumWidth(Label1->fontMetrics().averageCharWidth() * 50);
    Label1->setMaximumWidth(Label1->fontMetrics().averageCharWidth() * 80);
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName("ProgressBar1");
    ProgressBar1->setRange(0, 100);
    Label2 = new QLabel(T("Errors"), this);
    Label2->setObjectName("Label2");
    Label2->setAlignment(Qt::AlignCenter);
    Label2->hide();
    Cancel = new QPushButton(T("Cancel"), this);
    Cancel->setObjectName("Cancel");
    connect(Cancel, &QPushButton::clicked, this, [this] {
        Cancel->setEnabled(false);
        emit cancelPressed();
    });
    auto* buttons = CentredRow(Cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Label1);
    layout->addWidget(ProgressBar1);
    layout->addWidget(Label2);
    layout->addLayout(buttons);
}

void TCopyProgress::SetCaption(const QString& text) {
    Label1->setText(
        Label1->fontMetrics().elidedText(text, Qt::ElideMiddle, Label1->maximumWidth()));
}

void TCopyProgress::HandOver(int percent, std::uint32_t read_errors) {
    if (percent <= 0) Label2->hide();
    if (percent >= 100) {
        hide();
        Cancel->setEnabled(true);
        return;
    }
    if (!isVisible()) {
        if (parentWidget()) move(parentWidget()->geometry().center() - rect().center());
        show();
        raise();
    }
    ProgressBar1->setValue(percent);
    if (read_errors != 0) {
        Label2->setText(T("Read errors: ") + QString::number(read_errors));
        Label2->show();
    }
}

bool TCopyProgress::CancelPressed() const {
    return !Cancel->isEnabled();
}

void TCopyProgress::reject() {
    if (Cancel->isEnabled()) Cancel->click();
}

GuiCopyProgress::GuiCopyProgress(TCopyProgress& dialog, Status& status)
    : dialog_(&dialog), status_(status) {}

void GuiCopyProgress::hand_over(int percent, std::uint32_t read_errors) {
    bool cancel_pressed = false;
    RunOnGuiThread([&] {
        if (!dialog_) return;
        dialog_->HandOver(percent, read_errors);
        cancel_pressed = dialog_->CancelPressed();
    });
    if (cancel_pressed && !is_cancelled()) {
        cancel();
        status_.RequestCancel();
    }
}

void GuiCopyProgress::item_started(const std::string& path) {
    if (path.empty()) return;
    RunOnGuiThread([&] {
        if (dialog_) dialog_->SetCaption(T("Copying ") + Q(path) + "...");
    });
}

}  // namespace lk::ui
