#include "ui/window_texts.hpp"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QTableWidget>
#include <QToolButton>
#include <QTreeWidget>
#include <functional>

#include "ui/qt_text.hpp"

namespace lk::ui {

namespace {

constexpr const char* kOwnTexts = "lkOwnTexts";
constexpr int kCaption = 0;
constexpr int kHint = 1;
constexpr int kFirstItem = 100;

struct Accessor {
    int property;
    WindowText::Kind kind;
    std::function<QString()> get;
    std::function<void(const QString&)> set;
};

bool inside_file_dialog(const QObject& component) {
    for (const QObject* o = component.parent(); o; o = o->parent())
        if (qobject_cast<const QFileDialog*>(o)) return true;
    return false;
}

// Every translatable property of one component, by its class; the order of
// the tests is the table's in the header.
std::vector<Accessor> accessors(QObject& component) {
    std::vector<Accessor> out;
    if (inside_file_dialog(component)) return out;
    const bool own_texts = component.property(kOwnTexts).toBool();
    auto caption = [&](auto get, auto set) {
        if (!own_texts) out.push_back({kCaption, WindowText::Caption, get, set});
    };

    if (auto* a = qobject_cast<QAction*>(&component)) {
        // A menu's own action: its text is the menu's title.
        if (auto* menu = qobject_cast<QMenu*>(a->parent()); menu && menu->menuAction() == a)
            return out;
        caption([a] { return a->text(); }, [a](const QString& t) { a->setText(t); });
        out.push_back({kHint, WindowText::Hint, [a] { return a->statusTip(); },
                       [a](const QString& t) {
                           a->setStatusTip(t);
                           a->setToolTip(t);
                       }});
        return out;
    }
    auto* w = qobject_cast<QWidget*>(&component);
    if (!w) return out;
    // A toolbar's button shows its action's texts: the action is translated.
    if (auto* tool = qobject_cast<QToolButton*>(w); tool && tool->defaultAction()) return out;

    if (auto* menu = qobject_cast<QMenu*>(w))
        caption([menu] { return menu->title(); }, [menu](const QString& t) { menu->setTitle(t); });
    else if (w->isWindow())
        caption([w] { return w->windowTitle(); }, [w](const QString& t) { w->setWindowTitle(t); });
    else if (auto* label = qobject_cast<QLabel*>(w))
        caption([label] { return label->text(); },
                [label](const QString& t) { label->setText(t); });
    else if (auto* button = qobject_cast<QAbstractButton*>(w))
        caption([button] { return button->text(); },
                [button](const QString& t) { button->setText(t); });
    else if (auto* group = qobject_cast<QGroupBox*>(w))
        caption([group] { return group->title(); },
                [group](const QString& t) { group->setTitle(t); });
    out.push_back({kHint, WindowText::Hint, [w] { return w->toolTip(); },
                   [w](const QString& t) { w->setToolTip(t); }});
    if (own_texts) return out;

    auto item = [&](int i, auto get, auto set) {
        out.push_back({kFirstItem + i, WindowText::Item, get, set});
    };
    if (auto* combo = qobject_cast<QComboBox*>(w)) {
        for (int i = 0; i < combo->count(); ++i)
            item(
                i, [combo, i] { return combo->itemText(i); },
                [combo, i](const QString& t) { combo->setItemText(i, t); });
    } else if (auto* list = qobject_cast<QListWidget*>(w)) {
        for (int i = 0; i < list->count(); ++i)
            item(
                i, [list, i] { return list->item(i)->text(); },
                [list, i](const QString& t) { list->item(i)->setText(t); });
    } else if (auto* tree = qobject_cast<QTreeWidget*>(w)) {
        QTreeWidgetItem* header = tree->headerItem();
        for (int i = 0; header && i < header->columnCount(); ++i)
            item(
                i, [header, i] { return header->text(i); },
                [header, i](const QString& t) { header->setText(i, t); });
    } else if (auto* table = qobject_cast<QTableWidget*>(w)) {
        for (int i = 0; i < table->columnCount(); ++i)
            if (QTableWidgetItem* header = table->horizontalHeaderItem(i))
                item(
                    i, [header] { return header->text(); },
                    [header](const QString& t) { header->setText(t); });
    }
    return out;
}

}  // namespace

void KeepOwnTexts(QObject* component) {
    component->setProperty(kOwnTexts, true);
}

std::vector<WindowText> ComponentTexts(QObject& component) {
    std::vector<WindowText> out;
    for (const Accessor& a : accessors(component))
        if (QString text = a.get(); !text.isEmpty())
            out.push_back({&component, a.property, a.kind, std::move(text)});
    return out;
}

void SetComponentText(const WindowText& where, const QString& text) {
    for (const Accessor& a : accessors(*where.component))
        if (a.property == where.property) return a.set(text);
}

std::vector<QObject*> AllComponents() {
    std::vector<QObject*> out;
    // Windows with a parent are reached through it.
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->parent()) continue;
        out.push_back(window);
        for (QObject* component : window->findChildren<QObject*>()) out.push_back(component);
    }
    return out;
}

void WindowTranslator::watch(QObject& component) {
    connect(&component, &QObject::destroyed, this, &WindowTranslator::forget, Qt::UniqueConnection);
}

void WindowTranslator::capture(QObject& component, const Language& language) {
    for (const WindowText& t : ComponentTexts(component)) {
        watch(component);
        cache_.capture(language, t.component, t.property, S(t.text));
    }
}

void WindowTranslator::translate_component(QObject& component, const Language& language) {
    if (language.reverse_mode()) return capture(component, language);
    for (const WindowText& t : ComponentTexts(component)) {
        watch(component);
        const std::string current = S(t.text);
        const std::string shown =
            translate_property(language, cache_, t.component, t.property, current);
        if (shown != current) SetComponentText(t, Q(shown));
    }
}

void WindowTranslator::translate_all(const Language& language) {
    for (QObject* component : AllComponents()) translate_component(*component, language);
    if (language.reverse_mode()) return;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->parent()) continue;  // a window passes the event on to its children
        QEvent change(QEvent::LanguageChange);
        QCoreApplication::sendEvent(window, &change);
    }
}

void WindowTranslator::capture_all(const Language& language) {
    for (QObject* component : AllComponents()) capture(*component, language);
}

}  // namespace lk::ui
