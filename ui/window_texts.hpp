// Translating the windows: the captions, hints, titles, menu entries, list
// and combo items and column titles of every window, each from the English
// text it had before its first translation.
#pragma once

#include <QObject>
#include <QString>
#include <vector>

#include "lang/window_texts.hpp"

namespace lk::ui {

// For a widget or action whose texts are data (file names, drives, log
// lines, language names) or are composed again by its own window when the
// language changes: the walk leaves its caption and items alone, and still
// translates its hint.
void KeepOwnTexts(QObject* component);

// One text that the walk translates.
struct WindowText {
    enum Kind { Caption, Hint, Item };
    QObject* component;
    int property;  // keys the original-text cache together with the component
    Kind kind;
    QString text;
};

// The texts of one component, not of its children, by its class:
//
//   class                               property
//   QMenu                               title (0)
//   a window (QWidget::isWindow)        title (0)
//   QLabel, QAbstractButton             caption (0)
//   QGroupBox                           title (0)
//   every widget                        hint: tooltip (1)
//   QAction                             caption (0); hint: status tip, shown as tooltip too (1)
//   QComboBox, QListWidget              every item (100 + row)
//   QTreeWidget, QTableWidget           every column title (100 + column)
//
// An action that stands for a menu is translated as the menu's title. Empty
// texts are left out, and so are the widgets inside a file dialog, whose
// texts are Qt's own.
std::vector<WindowText> ComponentTexts(QObject& component);
void SetComponentText(const WindowText& where, const QString& text);

// The application's windows and every component they own, each once.
std::vector<QObject*> AllComponents();

// translate_component and translate_all over the Qt widgets. One per
// program, kept by the main window.
class WindowTranslator : public QObject {
  public:
    // Applies `language` to one component. In reverse mode (the pass before
    // a switch) it captures the English of the texts instead.
    void translate_component(QObject& component, const Language& language);
    // Every component of every window, then a LanguageChange event to each
    // window, which composed texts (a size with its unit, a caption with a
    // file name) answer by composing themselves again.
    void translate_all(const Language& language);
    // Before a switch, while the language that made the texts still applies:
    // texts set since the last translation, and components made since, get
    // their English originals.
    void capture_all(const Language& language);

  private:
    void capture(QObject& component, const Language& language);
    void watch(QObject& component);
    void forget(QObject* component) { cache_.forget(component); }

    OriginalTextCache cache_;
};

}  // namespace lk::ui
