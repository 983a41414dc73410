#include "ui/message_boxes.hpp"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include "input/text.hpp"
#include "output/save.hpp"
#include "ui/qt_text.hpp"

namespace lk::ui {

namespace {

QWidget* owner() {
    if (QWidget* modal = QApplication::activeModalWidget()) return modal;
    return QApplication::activeWindow();
}

// A long list would make the box taller than the screen: the first lines
// are shown, all of them in the details.
constexpr int kListedFailures = 12;

}  // namespace

void ShowMessage(MessageKind kind, const std::string& caption, const std::string& text) {
    QMessageBox box(kind == MessageKind::Warning       ? QMessageBox::Warning
                    : kind == MessageKind::Information ? QMessageBox::Information
                                                       : QMessageBox::NoIcon,
                    Q(caption), Q(text), QMessageBox::Ok, owner());
    box.setObjectName(kind == MessageKind::Warning ? "WarningBox" : "ErrorBox");
    box.button(QMessageBox::Ok)->setText(T("OK"));
    box.exec();
}

void ShowSaveFailures(const std::vector<SaveFailure>& failures) {
    if (failures.empty()) return;
    QString lines, all;
    for (std::size_t i = 0; i < failures.size(); ++i) {
        const QString line = TF("%s: %s", failures[i].path, failures[i].reason);
        all += line + "\n";
        if (i < kListedFailures) lines += line + "\n";
    }
    if (failures.size() > kListedFailures) lines += "...\n";
    QMessageBox box(
        QMessageBox::NoIcon, T("Error"),
        TF("%s item(s) could not be written:", GroupedNumber(failures.size())) + "\n\n" + lines,
        QMessageBox::Ok, owner());
    box.setObjectName("SaveFailuresBox");
    box.button(QMessageBox::Ok)->setText(T("OK"));
    if (failures.size() > kListedFailures) box.setDetailedText(all);
    box.exec();
}

}  // namespace lk::ui
