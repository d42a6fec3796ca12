#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The desktop facilities the application logic uses, one small interface each. The program
// wires in the Qt and Linux implementations; the tests use fakes.

// Per-user settings. An absent Boolean reads false, an absent string reads nullopt.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    virtual bool boolForKey(const std::string& key) = 0;
    virtual void setBool(const std::string& key, bool value) = 0;
    virtual std::optional<std::string> stringForKey(const std::string& key) = 0;
    virtual void setString(const std::string& key, const std::string& value) = 0;
};

enum class MenuAction { none, syncNow, toggleAutoSync, toggleLoginItem, connect, disconnect, setServer, quit };

struct MenuItem {
    // What the item stands for, unchanged from one menu to the next ("sync", "connect", ...), so a
    // menu that stays on screen can be updated item by item. Ids come in the same order in every
    // menu of a program.
    std::string id;
    bool separator = false;
    std::string title;
    MenuAction action = MenuAction::none;
    std::string keyEquivalent; // "s", "q" or empty; pressed with the platform's default modifier
    bool enabled = true;
    bool checked = false;

    static MenuItem makeSeparator(std::string id) {
        MenuItem item;
        item.id = std::move(id);
        item.separator = true;
        return item;
    }
    bool operator==(const MenuItem&) const = default;
};
using Menu = std::vector<MenuItem>;

// The tray icon and its menu. Choosing an item calls the handler given to show(); "quit"
// items are handled by the handler too.
class StatusItem {
public:
    virtual ~StatusItem() = default;
    virtual void show(std::function<void(MenuAction)> onAction) = 0;
    virtual void setMenu(const Menu& menu) = 0; // the menu from now on, whether it is open or not
};

struct Prompt {
    std::string messageText;
    std::string informativeText;
    std::string placeholder;
    std::string initialText;
    bool secure = false; // masked input
};

// Modal dialogs. Each brings the program to the front and returns once the dialog has closed.
class Dialogs {
public:
    virtual ~Dialogs() = default;
    virtual void alert(const std::string& messageText, const std::string& informativeText) = 0;
    // The field's text when the user chose "OK"; nullopt for "Cancel" or a closed dialog.
    virtual std::optional<std::string> prompt(const Prompt& prompt) = 0;
};

// Starting the program at login.
class LoginItemService {
public:
    enum class Status { notRegistered, enabled, requiresApproval, notFound };
    virtual ~LoginItemService() = default;
    virtual Status status() = 0;
    // nullopt on success, else the system's user-facing description of the failure.
    virtual std::optional<std::string> registerItem() = 0;
    virtual std::optional<std::string> unregisterItem() = 0;
};

// A timer on the main thread; destroying it stops it.
class Timer {
public:
    virtual ~Timer() = default;
};

class TimerScheduler {
public:
    virtual ~TimerScheduler() = default;
    // The first tick comes one interval from now. Ticks wait while a dialog or the menu is open.
    virtual std::unique_ptr<Timer> scheduleRepeating(std::chrono::milliseconds interval,
                                                     std::function<void()> tick) = 0;
    // One call after the delay, whatever is open.
    virtual std::unique_ptr<Timer> scheduleOnce(std::chrono::milliseconds delay, std::function<void()> fire) = 0;
};

// Runs blocking work off the main thread and brings the continuation back to it.
class Dispatcher {
public:
    virtual ~Dispatcher() = default;
    virtual void runInBackground(std::function<void()> work, std::function<void()> thenOnMain) = 0;
};

// The user's locale's short date and short time.
class DateFormatter {
public:
    virtual ~DateFormatter() = default;
    virtual std::string shortDateTime(std::chrono::system_clock::time_point when) = 0;
};

// Where the report of the last pass goes (replacing the one before). Called off the main thread.
class SyncReportStore {
public:
    virtual ~SyncReportStore() = default;
    // nullopt on success, else why the report could not be written.
    virtual std::optional<std::string> write(const std::string& report) = 0;
};
