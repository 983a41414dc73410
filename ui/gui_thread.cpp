#include "ui/gui_thread.hpp"

#include <QCoreApplication>
#include <QThread>

namespace lk::ui {

void RunOnGuiThread(const std::function<void()>& call) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread()) {
        call();
        return;
    }
    QMetaObject::invokeMethod(app, call, Qt::BlockingQueuedConnection);
}

void WaitProcessingEvents(const std::function<bool()>& done, int step_ms) {
    while (!done()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, step_ms);
        if (!done()) QThread::msleep(static_cast<unsigned long>(step_ms / 4 + 1));
    }
}

}  // namespace lk::ui
