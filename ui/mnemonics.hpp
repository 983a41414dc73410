// Mnemonics for every entry of a menu bar and its menus: an entry whose text
// carries no "&" gets one on the first letter of a word that no other entry
// of the same menu uses, else on any such letter, else (texts without Latin
// letters, as in Chinese, Japanese and Korean) an appended "(&X)" with a
// letter of its English original. Texts are left as they are otherwise, so
// that the language switch still finds their originals.
#pragma once

#include <QSet>
#include <QString>
#include <functional>

class QMenu;
class QMenuBar;

namespace lk::ui {

// The text with a mnemonic not in taken (which receives it); `english` gives
// the letters of the appended form. A text that has one keeps it.
QString WithMnemonic(const QString& text, QSet<QChar>& taken, const QString& english = {});

// Gives the entries of the menu bar, and of every menu under it, mnemonics;
// english(text) is a shown text's English original.
void AssignMnemonics(QMenuBar* bar, const std::function<QString(const QString&)>& english);
void AssignMnemonics(QMenu* menu, const std::function<QString(const QString&)>& english);

}  // namespace lk::ui
