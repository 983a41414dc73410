// lumenkeeper: the desktop application.
//
//   lumenkeeper [-L] [IMAGE]
//
// -L offers the system's own drives too; IMAGE preselects that file in the
// input dialog.
#include <QApplication>
#include <QIcon>

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
    lk::ui::TMainForm form(include_all, file);
    form.show();
    return QApplication::exec();
}
