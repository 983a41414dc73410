#include "ui/wait_size.hpp"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/qt_text.hpp"
#include "ui/widgets.hpp"

namespace lk::ui {

TWaitSize::TWaitSize(QWidget* parent) : QDialog(parent) {
    setObjectName("WaitSize");
    setWindowTitle(T("Please wait..."));
    setWindowFlags(Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint);
    Label1 = new QLabel(this);
    Label1->setObjectName("Label1");
    Label1->setAlignment(Qt::AlignCenter);
    Cancel = new QPushButton(T("Cancel"), this);
    Cancel->setObjectName("Cancel");
    connect(Cancel, &QPushButton::clicked, this, [this] { Cancel->setEnabled(false); });
    auto* buttons = CentredRow(Cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Label1);
    layout->addLayout(buttons);
}

void TWaitSize::ShowWaitBox(const QString& text) {
    disabled_.clear();
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w != this && w->isVisible() && w->isEnabled()) {
            w->setEnabled(false);
            disabled_.emplace_back(w);
        }
    Label1->setText(text);
    Cancel->setEnabled(true);
    adjustSize();
    show();
    raise();
    activateWindow();
    repaint();
    QApplication::processEvents();
}

bool TWaitSize::WaitBoxCancelled() {
    QApplication::processEvents();
    return !Cancel->isEnabled();
}

void TWaitSize::HideWaitBox() {
    for (auto& w : disabled_)
        if (w) w->setEnabled(true);
    disabled_.clear();
    hide();
}

// Escape and the window's close button press Cancel; the box goes away
// only when the wait ends.
void TWaitSize::reject() {
    Cancel->setEnabled(false);
}

}  // namespace lk::ui
