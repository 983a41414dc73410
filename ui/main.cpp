// lumenkeeper: the desktop application.
//
//   lumenkeeper [-L] [IMAGE]
//
// -L offers the system's own drives too; IMAGE preselects that file in the
// input dialog.
#include <QApplication>
#include <QIcon>
#include <cstdlib>

#include "lang/languages.hpp"
#include "ui/main_form.hpp"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Lumenkeeper");
    QApplication::setDesktopFileName("lumenkeeper");
    QApplication::setWindowIcon(QIcon::fromTheme("lumenkeeper", QIcon(":/lumenkeeper.svg")));

    bool include_all = false;
    QString file;
    const QStringList args = QApplication::arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "-L")
            include_all = true;
        else if (file.isEmpty())
            file = args[i];
    }
    // The windows speak the user's language (LC_ALL, LC_MESSAGES, LANG).
    const lk::LangId user_language = lk::langid_from_locale(lk::messages_locale(std::getenv));
    lk::ui::TMainForm form(include_all, file, user_language);
    form.show();
    return QApplication::exec();
}
