#pragma once

#include "core/ContactsImporter.h"
#include "core/DAVClient.h"
#include "core/Desktop.h"
#include "core/Keychain.h"
#include "core/URL.h"

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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
    SyncReportStore& reports;
    // A fresh address book for each pass.
    std::function<std::unique_ptr<ContactStore>()> makeContactStore;
    DAVClient::Timeouts davTimeouts{};
    // How often "Sync Hourly" syncs: an hour, but for tests.
    std::chrono::milliseconds autoSyncInterval{std::chrono::hours(1)};
    // Ends the program (the menu's "Quit"); when unset, the process exits.
    std::function<void()> quit{};
};

// The application: launch sequence, settings, the status menu, syncing (from the menu and
// hourly) and the connect, server and disconnect dialogs. Runs on the main thread only; the
// network, the address book and the keyring are reached through the dispatcher.
class AppDelegate {
public:
    static constexpr const char* displayName = "Peltwick Importer";
    // The program's id: its desktop entry, its autostart entry and its icon are named after it.
    static constexpr const char* applicationId = "app.peltwick.importer";
    static constexpr const char* defaultServerOrigin = "https://peltwick.app";
    // How long the menu shows the keyring's last answer while a newer one is on its way.
    static constexpr std::chrono::milliseconds keyringPatience{500};

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
    using KeyringWork = std::function<void(Keychain&)>;

    std::unique_ptr<DAVClient> makeClient(const std::string& email, const std::string& password) const;
    void registerLoginItemOnFirstRun();
    void applyAutoSync();
    void rebuildMenu();
    void showMenu();
    void showAlert(const std::string& text);
    void startPass(const Credential& credential);
    void finishPass(Pass& pass);
    void checkAnswered(const Check& check);

    // The keyring, one call at a time, in the order asked.
    void useKeyring(KeyringWork work, std::function<void()> thenOnMain);
    void runNextKeyringJob();
    void readKeyring(std::function<void(const CredentialRead&)> thenOnMain);
    void keyringAnswered(const CredentialRead& read, unsigned writesWhenAsked);

    AppServices services_;
    std::unique_ptr<Timer> timer_;
    bool syncing_ = false;
    bool passStarting_ = false; // a pass waits for the keyring's credential

    // What the menu knows of the keyring: the last answer of this run (none yet: `answered_` is
    // false), and whether a read asked for has been waited for longer than keyringPatience.
    bool answered_ = false;
    CredentialRead::Answer answer_ = CredentialRead::Answer::failed;
    std::string connectedEmail_;
    bool overdue_ = false;
    std::unique_ptr<Timer> overdueTimer_;
    bool readPending_ = false;
    std::vector<std::function<void(const CredentialRead&)>> readWaiters_;
    unsigned writesQueued_ = 0; // saves and deletes asked for so far
    std::deque<std::pair<KeyringWork, std::function<void()>>> keyringJobs_;
    bool keyringBusy_ = false;

    std::shared_ptr<bool> alive_;
};
