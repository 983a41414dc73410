// Small pieces that every window builds the same way.
#pragma once

#include <QHBoxLayout>
#include <QPushButton>
#include <QString>

namespace lk::ui {

// A button with its object name; the default one answers Enter, the others
// never take Enter over from it.
inline QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption,
                               bool is_default = false) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    if (is_default)
        button->setDefault(true);
    else
        button->setAutoDefault(false);
    return button;
}

// A row that holds `widget` in its middle.
inline QHBoxLayout* CentredRow(QWidget* widget) {
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(widget);
    row->addStretch();
    return row;
}

}  // namespace lk::ui
