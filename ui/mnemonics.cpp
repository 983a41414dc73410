#include "ui/mnemonics.hpp"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

namespace lk::ui {

namespace {

// The letter marked by a single "&" ("&&" stands for an ampersand).
QChar marked_letter(const QString& text) {
    for (qsizetype i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '&') continue;
        if (text[i + 1] == '&') {
            ++i;
            continue;
        }
        return text[i + 1].toUpper();
    }
    return {};
}

bool is_mnemonic_letter(QChar c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c.isLetter() && c.unicode() < 0x2E80);  // alphabets, not CJK ideographs or kana
}

void assign(const QList<QAction*>& actions, const std::function<QString(const QString&)>& english) {
    QSet<QChar> taken;
    for (const QAction* a : actions)
        if (const QChar c = marked_letter(a->text()); !c.isNull()) taken.insert(c);
    for (QAction* a : actions) {
        if (a->isSeparator() || a->text().isEmpty() || !marked_letter(a->text()).isNull()) continue;
        a->setText(WithMnemonic(a->text(), taken, english ? english(a->text()) : QString()));
    }
}

}  // namespace

QString WithMnemonic(const QString& text, QSet<QChar>& taken, const QString& english) {
    if (!marked_letter(text).isNull()) return text;
    // The first letter of a word, then any letter ("&&", an ampersand
    // written out, is passed over whole).
    for (int pass = 0; pass < 2; ++pass) {
        for (qsizetype i = 0; i < text.size(); ++i) {
            const QChar c = text[i];
            if (c == '&') {
                ++i;
                continue;
            }
            if (!is_mnemonic_letter(c) || taken.contains(c.toUpper())) continue;
            const bool word_start = i == 0 || !text[i - 1].isLetterOrNumber();
            if (pass == 0 && !word_start) continue;
            taken.insert(c.toUpper());
            return text.left(i) + '&' + text.mid(i);
        }
    }
    // No letter of its own: one of the English text's, appended, as such
    // menus are written in Chinese, Japanese and Korean.
    for (const QChar c : english + QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ")) {
        const QChar upper = c.toUpper();
        if (upper < 'A' || upper > 'Z' || taken.contains(upper)) continue;
        taken.insert(upper);
        return text + "(&" + upper + ")";
    }
    return text;
}

void AssignMnemonics(QMenu* menu, const std::function<QString(const QString&)>& english) {
    assign(menu->actions(), english);
    for (QAction* a : menu->actions())
        if (a->menu()) AssignMnemonics(a->menu(), english);
}

void AssignMnemonics(QMenuBar* bar, const std::function<QString(const QString&)>& english) {
    assign(bar->actions(), english);
    for (QAction* a : bar->actions())
        if (a->menu()) AssignMnemonics(a->menu(), english);
}

}  // namespace lk::ui
