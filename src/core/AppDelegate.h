#pragma once

#include "core/ContactsImporter.h"
#include "core/DAVClient.h"
#include "core/Desktop.h"
#include "core/Keychain.h"
#include "core/URL.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

// What the application needs from the desktop, handed in by main (or by a test).
struct AppServices {
    SettingsStore& settings;
    StatusItem& statusItem;
    Dialogs& dialogs;
    LoginItemService& loginItem;
    TimerScheduler& timers;
    Dispatcher& dispatcher;
    DateFormatter& dates;
    Keychain& keychain;
    // A fresh address book for each access request and each pass.
    std::function<std::unique_ptr<ContactStore>()> makeContactStore;
    DAVClient::Timeouts davTimeouts{};
    // Ends the program (the menu's "Quit"); when unset, the process exits.
    std::function<void()> quit{};
};

// The application: launch sequence, settings, the status menu, syncing (from the menu and
// hourly) and the connect, server and disconnect dialogs. Runs on the main thread only;
// blocking work goes through the dispatcher.
class AppDelegate {
public:
    static constexpr const char* displayName = "Peltwick Importer";
    static constexpr const char* defaultServerOrigin = "https://peltwick.app";
    static constexpr std::chrono::seconds autoSyncInterval{3600};

    // Settings keys.
    static constexpr const char* serverURLKey = "serverURL";
    static constexpr const char* autoSyncKey = "autoSync";
    static constexpr const char* autoSyncDefaultedKey = "autoSyncDefaulted";
    static constexpr const char* loginItemDefaultedKey = "loginItemDefaulted";
    static constexpr const char* lastSyncSummaryKey = "lastSyncSummary";

    explicit AppDelegate(AppServices services);
    ~AppDelegate();
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    void applicationDidFinishLaunching();

    // Menu actions.
    void perform(MenuAction action);
    void syncNow();
    void toggleAutoSync();
    void toggleLoginItem();
    void connect();
    void disconnect();
    void setServer();

    // The stored server address, or the default origin when none is stored.
    std::string serverURL() const;
    bool isSyncing() const { return syncing_; }

private:
    struct Pass;
    struct Check;

    std::unique_ptr<DAVClient> makeClient(const std::string& email, const std::string& password) const;
    void registerLoginItemOnFirstRun();
    void applyAutoSync();
    void rebuildMenu();
    void showAlert(const std::string& text);
    void accessAnswered(const std::shared_ptr<Pass>& pass);
    void finishPass(const Pass& pass);
    void checkAnswered(const Check& check);

    AppServices services_;
    std::unique_ptr<RepeatingTimer> timer_;
    bool syncing_ = false;
    std::shared_ptr<bool> alive_;
};
