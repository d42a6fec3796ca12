#pragma once

#include "core/Desktop.h"

#include <QObject>
#include <QTimer>

// Repeating timers on the main thread whose ticks wait while a modal dialog or a Qt-drawn menu
// is open. Qt fires timers inside every nested modal loop; a sync started from there would
// stack an alert on top of the user's dialog, so a tick that falls due meanwhile is held and
// delivered once when the last dialog or menu has closed. Ticks missed in that stretch are not
// made up.
class QtTimerScheduler : public TimerScheduler {
public:
    std::unique_ptr<Timer> scheduleRepeating(std::chrono::milliseconds interval, std::function<void()> tick) override;
    std::unique_ptr<Timer> scheduleOnce(std::chrono::milliseconds delay, std::function<void()> fire) override;

    // A menu the tray host draws is open: ticks wait as for a menu Qt draws.
    static void setHostMenuOpen(bool open);
};

// One scheduled timer. Lives on the main thread; deleted with deleteLater so that a tick's own
// work may drop the timer that is running it.
class HeldBackTimer : public QObject {
    Q_OBJECT
public:
    HeldBackTimer(std::chrono::milliseconds interval, std::function<void()> tick);
    void stop();
    bool isHolding() const { return pending_; }

    // True while a modal dialog, a Qt-drawn popup (our menu) or a host-drawn menu is open.
    static bool userInterfaceBusy();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void onTimeout();
    void recheck();

    std::function<void()> tick_;
    QTimer timer_;
    QTimer recheck_; // 0 ms, started after a Hide or Close event
    QTimer poll_;    // slow safety net while a tick is held
    bool pending_ = false;
    bool stopped_ = false;
};
