// Driving the windows as a user would, for the screenshot driver and the
// tests: answering a modal dialog once it is up.
#pragma once

#include <QApplication>
#include <QTimer>
#include <functional>

namespace lk::ui {

// Answers the next modal dialog of type T once it is up: `act` runs from the
// event loop while the dialog's own loop waits, and should close it.
template <class T>
void WhenModal(std::function<void(T&)> act) {
    auto* timer = new QTimer(qApp);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, qApp, [timer, act] {
        auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible()) return;
        timer->stop();
        timer->deleteLater();
        act(*dialog);
    });
    timer->start();
}

}  // namespace lk::ui
