#include "ui/help.hpp"

#include <QApplication>
#include <QKeyEvent>
#include <QMenu>

namespace lk::ui {

namespace {

constexpr const char* kHelpContext = "helpContext";

// The context F1 stands for where `watched` has the key: the highlighted
// entry of a menu, else its window.
int context_at(QObject* watched) {
    if (auto* menu = qobject_cast<QMenu*>(watched)) {
        if (QAction* entry = menu->activeAction()) return HelpContext(entry);
        return 0;
    }
    if (auto* widget = qobject_cast<QWidget*>(watched)) return HelpContext(widget->window());
    return 0;
}

}  // namespace

void SetHelpContext(QObject* component, int context) {
    component->setProperty(kHelpContext, context);
}

int HelpContext(const QObject* component) {
    return component ? component->property(kHelpContext).toInt() : 0;
}

QUrl HelpUrl(const std::filesystem::path& help_file, int context,
             const std::vector<std::filesystem::path>& more_dirs) {
    std::vector<std::filesystem::path> candidates{help_file};
    for (const std::filesystem::path& dir : more_dirs) {
        if (dir.empty()) continue;
        candidates.push_back(dir / help_file.filename());
        candidates.push_back(dir / "lumenkeeper_en.html");
    }
    for (const std::filesystem::path& page : candidates) {
        std::error_code ec;
        if (page.empty() || !std::filesystem::is_regular_file(page, ec)) continue;
        QUrl url = QUrl::fromLocalFile(
            QString::fromStdString(std::filesystem::weakly_canonical(page, ec).string()));
        if (context > 0) url.setFragment(QString::number(context));
        return url;
    }
    return {};
}

ContextHelpKey::ContextHelpKey(std::function<void(int)> show, QObject* parent)
    : QObject(parent), show_(std::move(show)) {
    qApp->installEventFilter(this);
}

ContextHelpKey::~ContextHelpKey() {
    qApp->removeEventFilter(this);
}

bool ContextHelpKey::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type != QEvent::KeyPress && type != QEvent::ShortcutOverride) return false;
    if (static_cast<QKeyEvent*>(event)->key() != Qt::Key_F1) return false;
    const int context = context_at(watched);

    if (context == 0) return false;
    if (type == QEvent::ShortcutOverride) {
        // The key is this entry's or window's, not the Help action's shortcut.
        event->accept();
        return true;
    }
    show_(context);
    return true;
}

}  // namespace lk::ui
