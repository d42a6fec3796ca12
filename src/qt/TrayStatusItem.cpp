#include "qt/TrayStatusItem.h"

#include <QApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QMenu>

namespace {

constexpr char noTrayMessage[] =
    "The Peltwick Importer icon needs a system tray, and none has appeared. Add a system tray (or a "
    "status-notifier extension) to your panel, and the icon shows up there. Hourly syncs keep running "
    "meanwhile.";

QKeySequence shortcutFor(const std::string& keyEquivalent) {
    if (keyEquivalent.size() != 1) return {};
    const char c = keyEquivalent[0];
    if (c >= 'a' && c <= 'z') return QKeySequence(Qt::CTRL | Qt::Key(Qt::Key_A + (c - 'a')));
    if (c >= '0' && c <= '9') return QKeySequence(Qt::CTRL | Qt::Key(Qt::Key_0 + (c - '0')));
    return {};
}

// The two toggles always show a check box, on or off; other items only when checked.
bool isToggle(const MenuItem& item) {
    return item.checked || item.action == MenuAction::toggleAutoSync || item.action == MenuAction::toggleLoginItem;
}

} // namespace

QAction* addMenuItem(QMenu& menu, const MenuItem& item) {
    if (item.separator) return menu.addSeparator();
    // A literal "&" in a title must not turn into a mnemonic.
    QString title = QString::fromStdString(item.title);
    title.replace(u'&', QStringLiteral("&&"));
    QAction* action = menu.addAction(title);
    action->setEnabled(item.enabled);
    if (isToggle(item)) {
        action->setCheckable(true);
        action->setChecked(item.checked);
    }
    action->setShortcut(shortcutFor(item.keyEquivalent));
    return action;
}

QIcon TrayStatusItem::appIcon() {
    return QIcon::fromTheme(QStringLiteral("contact-new"), QIcon(QStringLiteral(":/icons/peltwick-importer.svg")));
}

TrayStatusItem::TrayStatusItem(Dialogs& dialogs, QString title, std::chrono::milliseconds trayWait,
                               std::chrono::milliseconds trayPoll)
    : dialogs_(dialogs), title_(std::move(title)), trayWait_(trayWait) {
    tray_.setIcon(appIcon());
    tray_.setToolTip(title_);
    connect(&tray_, &QSystemTrayIcon::activated, this, &TrayStatusItem::onActivated);
    trayPoll_.setInterval(trayPoll);
    connect(&trayPoll_, &QTimer::timeout, this, &TrayStatusItem::pollForTray);
}

TrayStatusItem::~TrayStatusItem() {
    delete menu_;
}

/// Shows the icon now when a tray is there, else as soon as one appears.
void TrayStatusItem::show(std::function<void(MenuAction)> onAction) {
    onAction_ = std::move(onAction);
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_.show();
        return;
    }
    waited_ = std::chrono::milliseconds{0};
    trayPoll_.start();
}

/// Keeps looking for a tray (a panel often starts after the programs of the session). After the
/// wait, one alert tells the user; looking goes on, at the same pace, in case a tray is added.
void TrayStatusItem::pollForTray() {
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        trayPoll_.stop();
        tray_.show();
        return;
    }
    waited_ += std::chrono::milliseconds(trayPoll_.interval());
    if (waited_ >= trayWait_ && !toldNoTray_) {
        toldNoTray_ = true;
        dialogs_.alert(title_.toStdString(), noTrayMessage);
    }
}

/// Builds a new menu from the description and drops the old one, open or not.
void TrayStatusItem::setMenu(const Menu& description) {
    auto* menu = new QMenu;
    menu->setTitle(title_);
    menu->setAccessibleName(title_);
    menu->setToolTipsVisible(false);
    for (const MenuItem& item : description) {
        QAction* action = addMenuItem(*menu, item);
        if (!item.separator && item.action != MenuAction::none) {
            const MenuAction which = item.action;
            connect(action, &QAction::triggered, this, [this, which] { choose(which); });
        }
    }
    // Qt shows Ctrl+S and Ctrl+Q in a tray menu but does not act on them while it is open.
    menu->installEventFilter(this);

    QMenu* old = menu_;
    menu_ = menu;
    tray_.setContextMenu(menu);
    if (old) {
        old->removeEventFilter(this);
        old->hide();
        old->deleteLater();
    }
}

/// Left click pops up the same menu that right click opens.
void TrayStatusItem::onActivated(QSystemTrayIcon::ActivationReason reason) {
    if (menu_ && (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) && !menu_->isVisible())
        menu_->popup(QCursor::pos());
}

/// Ctrl+letter while the menu is open: close it and trigger the enabled item with that shortcut.
bool TrayStatusItem::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress || watched != menu_) return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    if (!(key->modifiers() & Qt::ControlModifier)) return false;
    const QKeySequence pressed(key->keyCombination());
    for (QAction* action : menu_->actions()) {
        if (!action->shortcut().isEmpty() && action->shortcut() == pressed) {
            if (action->isEnabled()) {
                menu_->hide();
                action->trigger();
            }
            return true;
        }
    }
    return false;
}

/// Actions run from the event loop, after the menu has closed: the handler may rebuild the
/// menu, which deletes the one whose signal is being delivered.
void TrayStatusItem::choose(MenuAction action) {
    QMetaObject::invokeMethod(
        this,
        [this, action] {
            if (onAction_)
                onAction_(action);
            else if (action == MenuAction::quit)
                QCoreApplication::quit();
        },
        Qt::QueuedConnection);
}
