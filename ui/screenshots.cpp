// lk-screenshots CARD OUTPUT_DIR: starts the application on a card image as
// `lumenkeeper CARD` does, in the language of the locale (LC_ALL,
// LC_MESSAGES, LANG) as the program does, drives it through every window as
// a user would, and writes a PNG of each window into OUTPUT_DIR
// (scripts/screenshots.sh runs it under Xvfb). Not installed; for looking at
// the windows.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "lang/languages.hpp"
#include "ui/ask_drive.hpp"
#include "ui/automation.hpp"
#include "ui/graph_box.hpp"
#include "ui/gui_thread.hpp"
#include "ui/main_form.hpp"
#include "ui/qt_text.hpp"
#include "ui/size_form.hpp"
#include "ui/status_form.hpp"

namespace {

QString g_dir;
int g_failures = 0;

void settle() {
    for (int i = 0; i < 20; ++i) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
}

void shot(QWidget& window, const QString& name) {
    settle();
    window.raise();
    settle();
    // What the window draws, whatever lies over it on the screen.
    const QPixmap pixmap = window.grab();
    const QString path = QDir(g_dir).filePath(name + ".png");
    if (pixmap.isNull() || !pixmap.save(path)) {
        std::fprintf(stderr, "lk-screenshots: could not write %s\n", qPrintable(path));
        ++g_failures;
        return;
    }
    std::printf("%s (%dx%d)\n", qPrintable(path), pixmap.width(), pixmap.height());
}

template <class T>
void when_modal(std::function<void(T&)> act) {
    lk::ui::WhenModal<T>(std::move(act));
}

bool wait_for(const std::function<bool()>& done) {
    return lk::ui::WaitProcessingEvents(done, 10, 600'000);
}

template <class T>
T& child(QObject& parent, const char* name) {
    return *parent.findChild<T*>(name);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Lumenkeeper");
    if (argc != 3) {
        std::fprintf(stderr, "usage: lk-screenshots CARD OUTPUT_DIR\n");
        return 2;
    }
    g_dir = argv[2];
    QDir().mkpath(g_dir);

    const lk::LangId user_language = lk::langid_from_locale(lk::messages_locale(std::getenv));
    lk::ui::TMainForm form(false, QString::fromLocal8Bit(argv[1]), user_language);
    lk::ui::Tstform& status = form.status_form();
    auto continue_shown = [&] {
        return child<QPushButton>(status, "Cancel").text() == lk::ui::T("Continue");
    };

    // The first run in expert mode: the input dialog in its three kinds and
    // the card parameters dialog with the range open.
    when_modal<lk::ui::TAskDrive>([](lk::ui::TAskDrive& d) {
        child<QAbstractButton>(d, "ldrive").click();
        shot(d, "01-input-dialog-logical-drive");
        child<QAbstractButton>(d, "pdrive").click();
        shot(d, "02-input-dialog-physical-drive");
        child<QAbstractButton>(d, "file").click();
        child<QCheckBox>(d, "ExpertMode").setChecked(true);
        shot(d, "03-input-dialog-file");
        child<QAbstractButton>(d, "Button1").click();
    });
    when_modal<lk::ui::TSizeForm>([](lk::ui::TSizeForm& d) {
        d.RangeClick();
        shot(d, "04-card-parameters-range");
        child<QAbstractButton>(d, "OK").click();
    });
    // While it runs: the fifth step's line arrives while the worker waits.
    auto& lines = child<QListWidget>(status, "ListBox1");
    bool running_shot = false;
    QObject::connect(lines.model(), &QAbstractItemModel::rowsInserted, &status, [&] {
        if (running_shot || !lines.item(lines.count() - 1)->text().startsWith("4.")) return;
        running_shot = true;
        status.Timer1Timer();
        shot(status, "05-status-running");
    });
    form.show();
    if (!wait_for(continue_shown)) return 1;
    shot(status, "06-status-continue");
    child<QAbstractButton>(status, "Cancel").click();
    wait_for([&] { return form.isVisible(); });

    // The second run outside expert mode ends with the rerun question.
    when_modal<lk::ui::TAskDrive>([](lk::ui::TAskDrive& d) {
        child<QCheckBox>(d, "ExpertMode").setChecked(false);
        child<QAbstractButton>(d, "Button1").click();
    });
    QTimer::singleShot(0, &form, [&] { form.acAnalyzeExecute(); });
    wait_for([&] { return status.isVisible(); });
    if (!wait_for(continue_shown)) return 1;
    child<QAbstractButton>(status, "Cancel").click();
    wait_for([&] { return form.isVisible() && form.rerun_question().isVisible(); });
    shot(form.rerun_question(), "07-rerun-question");
    form.rerun_question().hide();

    // The main window with the camera folder open.
    if (QTreeWidgetItem* root = form.dirs()->topLevelItem(0)) {
        for (int i = 0; i < root->childCount(); ++i)
            if (root->child(i)->text(0) == "DCIM" && root->child(i)->childCount() > 0)
                form.dirs()->setCurrentItem(root->child(i)->child(0));
    }
    if (form.files()->count() > 1) form.files()->item(1)->setSelected(true);
    shot(form, "08-main-window");
    // Its menus, where most of its texts are: File, Help and the languages.
    int menu_shot = 10;
    for (const char* name : {"File1", "Help1", "Language1"}) {
        QMenu& menu = child<QMenu>(form, name);
        menu.popup(form.mapToGlobal(QPoint(0, form.menuBar()->height())));
        shot(menu, QString("%1-menu-%2").arg(menu_shot++).arg(name));
        menu.hide();
    }

    form.acGraphExecute();
    wait_for([&] { return !form.busy(); });
    shot(form.graph_box(), "09-graph");
    form.graph_box().hide();
    form.close();
    return g_failures == 0 ? 0 : 1;
}
