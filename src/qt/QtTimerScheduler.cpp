#include "qt/QtTimerScheduler.h"

#include <QApplication>
#include <QEvent>

namespace {

class QtRepeatingTimer : public Timer {
public:
    explicit QtRepeatingTimer(HeldBackTimer* timer) : timer_(timer) {}
    ~QtRepeatingTimer() override {
        timer_->stop();
        timer_->deleteLater();
    }

private:
    HeldBackTimer* timer_;
};

// A single shot that may be dropped from inside its own call.
class QtSingleShot : public Timer {
public:
    QtSingleShot(std::chrono::milliseconds delay, std::function<void()> fire) : timer_(new QTimer) {
        timer_->setSingleShot(true);
        QObject::connect(timer_, &QTimer::timeout, timer_, std::move(fire));
        timer_->start(delay);
    }
    ~QtSingleShot() override {
        timer_->stop();
        timer_->deleteLater();
    }

private:
    QTimer* timer_;
};

constexpr std::chrono::milliseconds heldPollInterval{250};
bool hostMenuOpen = false;

} // namespace

std::unique_ptr<Timer> QtTimerScheduler::scheduleRepeating(std::chrono::milliseconds interval,
                                                           std::function<void()> tick) {
    return std::make_unique<QtRepeatingTimer>(new HeldBackTimer(interval, std::move(tick)));
}

std::unique_ptr<Timer> QtTimerScheduler::scheduleOnce(std::chrono::milliseconds delay, std::function<void()> fire) {
    return std::make_unique<QtSingleShot>(delay, std::move(fire));
}

/// A held tick follows the host's close within one poll.
void QtTimerScheduler::setHostMenuOpen(bool open) {
    hostMenuOpen = open;
}

/// The first tick comes one interval after construction. The object is parented to the
/// application so that one still waiting for deleteLater at exit is freed with it.
HeldBackTimer::HeldBackTimer(std::chrono::milliseconds interval, std::function<void()> tick)
    : QObject(QCoreApplication::instance()), tick_(std::move(tick)) {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(interval);
    connect(&timer_, &QTimer::timeout, this, &HeldBackTimer::onTimeout);
    recheck_.setSingleShot(true);
    recheck_.setInterval(0);
    connect(&recheck_, &QTimer::timeout, this, &HeldBackTimer::recheck);
    poll_.setInterval(heldPollInterval);
    connect(&poll_, &QTimer::timeout, this, &HeldBackTimer::recheck);
    timer_.start();
}

/// No tick after this, held ones included.
void HeldBackTimer::stop() {
    stopped_ = true;
    pending_ = false;
    timer_.stop();
    recheck_.stop();
    poll_.stop();
    qApp->removeEventFilter(this);
}

bool HeldBackTimer::userInterfaceBusy() {
    return hostMenuOpen || QApplication::activeModalWidget() != nullptr || QApplication::activePopupWidget() != nullptr;
}

void HeldBackTimer::onTimeout() {
    if (stopped_) return;
    if (pending_) return; // already holding one; this one is not made up
    if (userInterfaceBusy()) {
        pending_ = true;
        // Dialogs and menus close with a Hide event; watching them lets the held tick follow
        // the close at once instead of waiting for the next poll.
        qApp->installEventFilter(this);
        poll_.start();
        return;
    }
    tick_();
}

/// Hide and Close arrive before activeModalWidget() and activePopupWidget() have caught up, so
/// the state is read again from a 0 ms timer once the event has been handled.
bool HeldBackTimer::eventFilter(QObject* watched, QEvent* event) {
    if (pending_ && (event->type() == QEvent::Hide || event->type() == QEvent::Close) && watched->isWidgetType())
        recheck_.start();
    return false;
}

void HeldBackTimer::recheck() {
    if (!pending_ || stopped_ || userInterfaceBusy()) return;
    pending_ = false;
    poll_.stop();
    qApp->removeEventFilter(this);
    tick_();
}
