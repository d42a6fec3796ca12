#pragma once

#include "core/Desktop.h"

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>

#include <memory>

class QAction;

// The tray icon and its menu. Left and right click open the same menu; the whole menu is
// replaced at every setMenu. Without a tray the icon waits for one to appear and, when none
// has come within the wait, says so once in an alert.
class TrayStatusItem : public QObject, public StatusItem {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds defaultTrayWait{60000};

    TrayStatusItem(Dialogs& dialogs, QString title, std::chrono::milliseconds trayWait = defaultTrayWait,
                   std::chrono::milliseconds trayPoll = std::chrono::milliseconds{1000});
    ~TrayStatusItem() override;

    void show(std::function<void(MenuAction)> onAction) override;
    void setMenu(const Menu& menu) override;

    // The icon: the theme's "contact-new", else the bundled picture.
    static QIcon appIcon();

    QMenu* menu() const { return menu_; }
    QSystemTrayIcon& trayIcon() { return tray_; }
    bool isWaitingForTray() const { return trayPoll_.isActive(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void onActivated(QSystemTrayIcon::ActivationReason reason);
    void pollForTray();
    void choose(MenuAction action);

    Dialogs& dialogs_;
    QString title_;
    std::chrono::milliseconds trayWait_;
    QSystemTrayIcon tray_;
    QPointer<QMenu> menu_;
    std::function<void(MenuAction)> onAction_;
    QTimer trayPoll_;
    std::chrono::milliseconds waited_{0};
    bool toldNoTray_ = false;
};

// The Qt action for one menu item: title, enabling, check mark and Ctrl+letter shortcut.
QAction* addMenuItem(QMenu& menu, const MenuItem& item);
