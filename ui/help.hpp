// Context help: the help page of the current language, opened at the anchor
// of a window's or a menu entry's help context.
#pragma once

#include <QObject>
#include <QUrl>
#include <filesystem>
#include <functional>
#include <vector>

namespace lk::ui {

// The help context of a window or an action; 0 when it has none. The help
// pages carry every context as an anchor.
void SetHelpContext(QObject* component, int context);
int HelpContext(const QObject* component);

// The page to open at `context`: `help_file` (the language's page, or else
// the English one, in the program's directory) when it exists, else a page
// of the same name and then the English one in each of `more_dirs`. An
// empty URL when there is none.
QUrl HelpUrl(const std::filesystem::path& help_file, int context,
             const std::vector<std::filesystem::path>& more_dirs);

// F1 anywhere in the application asks for the help at the highlighted menu
// entry's context, else at the context of the window that has the key.
// (In the main window F1 is the Help action's own shortcut.)
class ContextHelpKey : public QObject {
  public:
    ContextHelpKey(std::function<void(int context)> show, QObject* parent);
    ~ContextHelpKey() override;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    std::function<void(int)> show_;
};

}  // namespace lk::ui
