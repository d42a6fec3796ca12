#pragma once

#include "core/Desktop.h"

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>

#include <chrono>
#include <string>
#include <vector>

class QAction;

// The tray icon and its one menu, kept for the program's lifetime: each setMenu updates its
// actions in place (titles, enabling, check marks, visibility, order), so a menu that is open
// shows the new state, and a status-notifier host that draws the menu from the exported copy
// keeps valid item ids. Left and right click open the same menu. Without a tray the icon waits
// for one to appear and, when none has come within the wait, says so once in an alert.
class TrayStatusItem : public QObject, public StatusItem {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds defaultTrayWait{60000};
    // A menu drawn by the tray host is taken to be open from its about-to-show until its close,
    // when the host is known to report closes; this long at most, in case a close is lost.
    static constexpr std::chrono::milliseconds hostMenuLongestOpen{120000};

    TrayStatusItem(Dialogs& dialogs, QString title, std::chrono::milliseconds trayWait = defaultTrayWait,
                   std::chrono::milliseconds trayPoll = std::chrono::milliseconds{1000});
    ~TrayStatusItem() override;

    void show(std::function<void(MenuAction)> onAction) override;
    void setMenu(const Menu& menu) override;

    // The program's colour icon, for windows and dialogs.
    static QIcon appIcon();
    // The monochrome icon for the panel; a theme name lets a status-notifier host recolour it.
    static QIcon panelIcon();

    QMenu* menu() { return &menu_; }
    QSystemTrayIcon& trayIcon() { return tray_; }
    bool isWaitingForTray() const { return trayPoll_.isActive(); }
    bool isHostMenuOpen() const { return hostMenuOpen_; }

signals:
    // The menu drawn by a status-notifier host opened or closed (as far as the host tells).
    void hostMenuOpenChanged(bool open);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Entry {
        std::string id;
        QAction* action;
    };

    QAction* actionFor(const MenuItem& item, QAction* before);
    void onActivated(QSystemTrayIcon::ActivationReason reason);
    void onAboutToShow();
    void onAboutToHide();
    void setHostMenuOpen(bool open);
    void pollForTray();
    void choose(MenuAction action);

    Dialogs& dialogs_;
    QString title_;
    std::chrono::milliseconds trayWait_;
    QMenu menu_;
    QSystemTrayIcon tray_;
    std::vector<Entry> entries_; // every item ever shown, in no particular order
    Menu shown_;
    std::function<void(MenuAction)> onAction_;
    QTimer trayPoll_;
    std::chrono::milliseconds waited_{0};
    bool toldNoTray_ = false;
    bool qtDrawnOpen_ = false; // Qt draws the menu (an XEmbed tray, or a click we pop up)
    bool qtDrawnHiding_ = false;
    bool hostReportsClose_ = false;
    bool hostMenuOpen_ = false;
    QTimer hostMenuLimit_;
};
