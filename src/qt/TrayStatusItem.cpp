#include "qt/TrayStatusItem.h"

#include "core/Log.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QKeyEvent>

#include <algorithm>

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

// Brings an action in line with its description. Qt's setters ignore a value that did not change,
// so an unchanged item sends no update to the tray host.
void describe(QAction& action, const MenuItem& item) {
    if (!item.separator) {
        // A literal "&" in a title must not turn into a mnemonic.
        QString title = QString::fromStdString(item.title);
        title.replace(u'&', QStringLiteral("&&"));
        action.setText(title);
        action.setEnabled(item.enabled);
        action.setCheckable(isToggle(item));
        action.setChecked(item.checked);
        action.setShortcut(shortcutFor(item.keyEquivalent));
        action.setData(static_cast<int>(item.action));
    }
    action.setVisible(true);
}

} // namespace

QIcon TrayStatusItem::appIcon() {
    return QIcon::fromTheme(QStringLiteral("app.peltwick.importer"),
                            QIcon(QStringLiteral(":/icons/peltwick-importer.svg")));
}

QIcon TrayStatusItem::panelIcon() {
    return QIcon::fromTheme(QStringLiteral("app.peltwick.importer-symbolic"),
                            QIcon(QStringLiteral(":/icons/peltwick-importer-symbolic.svg")));
}

TrayStatusItem::TrayStatusItem(Dialogs& dialogs, QString title, std::chrono::milliseconds trayWait,
                               std::chrono::milliseconds trayPoll)
    : dialogs_(dialogs), title_(std::move(title)), trayWait_(trayWait) {
    menu_.setTitle(title_);
    menu_.setAccessibleName(title_);
    menu_.setToolTipsVisible(false);
    // Qt shows Ctrl+S and Ctrl+Q in a tray menu but does not act on them while it is open; the
    // filter also tells a menu Qt draws from one the tray host draws.
    menu_.installEventFilter(this);
    connect(&menu_, &QMenu::aboutToShow, this, &TrayStatusItem::onAboutToShow);
    connect(&menu_, &QMenu::aboutToHide, this, &TrayStatusItem::onAboutToHide);
    tray_.setIcon(panelIcon());
    tray_.setToolTip(title_);
    tray_.setContextMenu(&menu_);
    connect(&tray_, &QSystemTrayIcon::activated, this, &TrayStatusItem::onActivated);
    trayPoll_.setInterval(trayPoll);
    connect(&trayPoll_, &QTimer::timeout, this, &TrayStatusItem::pollForTray);
    hostMenuLimit_.setSingleShot(true);
    hostMenuLimit_.setInterval(hostMenuLongestOpen);
    connect(&hostMenuLimit_, &QTimer::timeout, this, [this] { setHostMenuOpen(false); });
}

TrayStatusItem::~TrayStatusItem() {
    tray_.setContextMenu(nullptr);
    menu_.removeEventFilter(this);
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
        Log::warning("no system tray has appeared; the icon waits for one");
        dialogs_.alert(title_.toStdString(), noTrayMessage);
    }
}

/// The menu from now on. Each item keeps the action of its id; an item seen for the first time
/// gets a new action, placed before the next item of the description, and items not described
/// any more are hidden. Only new items or a changed order change the menu's layout.
void TrayStatusItem::setMenu(const Menu& description) {
    if (description == shown_) return;
    QAction* next = nullptr; // the action of the item after the one placed
    for (auto item = description.rbegin(); item != description.rend(); ++item) {
        QAction* action = actionFor(*item, next);
        describe(*action, *item);
        next = action;
    }
    for (const Entry& entry : entries_) {
        const bool described = std::any_of(description.begin(), description.end(),
                                           [&](const MenuItem& item) { return item.id == entry.id; });
        if (!described) entry.action->setVisible(false);
    }
    shown_ = description;
}

/// The action of the item's id, just before `before` (at the end when null) in the menu.
QAction* TrayStatusItem::actionFor(const MenuItem& item, QAction* before) {
    const auto found =
        std::find_if(entries_.begin(), entries_.end(), [&](const Entry& entry) { return entry.id == item.id; });
    if (found == entries_.end()) {
        auto* action = new QAction(&menu_);
        action->setSeparator(item.separator);
        if (!item.separator)
            connect(action, &QAction::triggered, this,
                    [this, action] { choose(static_cast<MenuAction>(action->data().toInt())); });
        menu_.insertAction(before, action);
        entries_.push_back({item.id, action});
        return action;
    }
    QAction* action = found->action;
    const QList<QAction*> actions = menu_.actions();
    const qsizetype at = actions.indexOf(action);
    const qsizetype beforeAt = before ? actions.indexOf(before) : actions.size();
    if (at > beforeAt) { // an order this menu has not shown before
        menu_.removeAction(action);
        menu_.insertAction(before, action);
    }
    return action;
}

/// Left click pops up the same menu that right click opens.
void TrayStatusItem::onActivated(QSystemTrayIcon::ActivationReason reason) {
    if ((reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) && !menu_.isVisible())
        menu_.popup(QCursor::pos());
}

/// Hosts built on libdbusmenu-qt report both the opening and the closing of the menu they draw;
/// others (xfce4-panel) only the opening. A host-drawn menu therefore counts as open only once its
/// host has shown that it reports closes, so a tick is never held for good. A menu Qt draws
/// itself is noticed by the timers on their own.
void TrayStatusItem::onAboutToShow() {
    // Qt shows its own menu right after this signal: look once the event loop is back.
    QTimer::singleShot(0, this, [this] {
        if (!qtDrawnOpen_ && hostReportsClose_) setHostMenuOpen(true);
    });
}

void TrayStatusItem::onAboutToHide() {
    if (qtDrawnHiding_) {
        qtDrawnHiding_ = false;
        return;
    }
    hostReportsClose_ = true;
    setHostMenuOpen(false);
}

void TrayStatusItem::setHostMenuOpen(bool open) {
    if (open)
        hostMenuLimit_.start();
    else
        hostMenuLimit_.stop();
    if (open == hostMenuOpen_) return;
    hostMenuOpen_ = open;
    emit hostMenuOpenChanged(open);
}

/// Tells a menu Qt draws (Show and Hide events) from one the tray host draws (neither), and acts
/// on Ctrl+letter while Qt's menu is open: it closes and the enabled item with that shortcut runs.
bool TrayStatusItem::eventFilter(QObject* watched, QEvent* event) {
    if (watched != &menu_) return false;
    if (event->type() == QEvent::Show) qtDrawnOpen_ = true;
    if (event->type() == QEvent::Hide) {
        qtDrawnOpen_ = false;
        qtDrawnHiding_ = true; // QMenu's hide handler says aboutToHide next
    }
    if (event->type() != QEvent::KeyPress) return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    if (!(key->modifiers() & Qt::ControlModifier)) return false;
    const QKeySequence pressed(key->keyCombination());
    for (QAction* action : menu_.actions()) {
        if (action->isVisible() && !action->shortcut().isEmpty() && action->shortcut() == pressed) {
            if (action->isEnabled()) {
                menu_.hide();
                action->trigger();
            }
            return true;
        }
    }
    return false;
}

/// Actions run from the event loop, after the menu has closed: a dialog must not open from
/// inside the menu's own event handling.
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
