#include "qt/QtDispatcher.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <thread>

/// Each job gets a detached thread: a pass may wait on the network for minutes, and a connect
/// check must not queue behind it. The continuation runs on the main thread through a queued
/// call on the application object; once the application is gone it is dropped.
/// The count drops only after the thread has let go of the work's captures and queued the
/// continuation: main returns normally once busy() reads false, and from then on the thread must
/// not touch the application or anything the job holds.
void QtDispatcher::runInBackground(std::function<void()> work, std::function<void()> thenOnMain) {
    running_->fetch_add(1);
    std::thread([work = std::move(work), then = std::move(thenOnMain), running = running_]() mutable {
        // The work reports its own failures; an exception escaping it must not end the process.
        try {
            work();
        } catch (...) {
        }
        work = nullptr;
        if (QCoreApplication* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(app, std::move(then), Qt::QueuedConnection);
        then = nullptr;
        running->fetch_sub(1);
    }).detach();
}
