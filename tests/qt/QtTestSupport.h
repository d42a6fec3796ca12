#pragma once

#include "core/Desktop.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <functional>

// Runs `drive` on the modal widget once one is open (the caller then blocks in exec()); gives up
// after two seconds.
inline void whenModalOpens(std::function<void(QWidget*)> drive) {
    auto* poll = new QTimer;
    auto* clock = new QElapsedTimer;
    clock->start();
    QObject::connect(poll, &QTimer::timeout, [poll, clock, drive = std::move(drive)] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal && clock->elapsed() < 2000) return;
        poll->stop();
        poll->deleteLater();
        delete clock;
        if (modal) drive(modal);
    });
    poll->start(5);
}

// Processes events until `done` holds or the time runs out.
inline bool waitFor(const std::function<bool()>& done, int timeoutMs = 2000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

// Records what the desktop code asked of the dialogs.
struct RecordingDialogs : Dialogs {
    std::vector<std::string> alerts;
    void alert(const std::string&, const std::string& informativeText) override { alerts.push_back(informativeText); }
    std::optional<std::string> prompt(const Prompt&) override { return std::nullopt; }
};
