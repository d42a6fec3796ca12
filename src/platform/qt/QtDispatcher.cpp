#include "QtDispatcher.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <thread>

/// Each job gets a detached thread: a pass may wait on the network for minutes, and a connect
/// check must not queue behind it. The continuation runs on the main thread through a queued
/// call on the application object; once the application is gone it is dropped.
void QtDispatcher::runInBackground(std::function<void()> work, std::function<void()> thenOnMain) {
    running_->fetch_add(1);
    std::thread([work = std::move(work), then = std::move(thenOnMain), running = running_]() mutable {
        // The work reports its own failures; an exception escaping it must not end the process.
        try {
            work();
        } catch (...) {
        }
        running->fetch_sub(1);
        if (QCoreApplication* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(app, std::move(then), Qt::QueuedConnection);
    }).detach();
}
