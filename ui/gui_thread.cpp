#include "ui/gui_thread.hpp"

#include <QCoreApplication>
#include <QElapsedTimer>
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

bool WaitProcessingEvents(const std::function<bool()>& done, int step_ms, int timeout_ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (timeout_ms >= 0 && clock.elapsed() > timeout_ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, step_ms);
        if (!done()) QThread::msleep(static_cast<unsigned long>(step_ms / 4 + 1));
    }
    return true;
}

}  // namespace lk::ui
