#include "core/AppDelegate.h"

#include "core/Log.h"
#include "core/SyncReport.h"
#include "core/Text.h"

#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

// AppDelegate owns every long-lived piece of the program: the status item's menu, the hourly
// timer, the `syncing` flag and the settings. Everything here runs on the main thread; the sync
// pass, the connection check and every keyring call go through the dispatcher, whose
// continuations come back to the main thread. Continuations hold only a weak token of the
// delegate, so one that arrives after the delegate is gone does nothing.
//
// The menu never waits for the keyring: it shows the keyring's last answer at once and asks
// again; the fresh answer updates it. Until the first answer, and while one is overdue, the
// account lines say "Waiting for the keyring…".

namespace {

constexpr const char* serverNotAcceptedText = "Enter an https:// URL (plain http is allowed only for localhost).";
constexpr const char* loginItemFailedPrefix = "Could not update the login item: ";
constexpr const char* notStoredText =
    "The server accepted the app password, but it could not be stored: no desktop keyring (Secret Service) is "
    "available, or it stayed locked. Unlock or set up your keyring, then connect again.";
constexpr const char* exampleEmail = "you@example.com";

MenuItem item(std::string id, std::string title, MenuAction action, bool enabled = true, bool checked = false,
              std::string keyEquivalent = {}) {
    MenuItem result;
    result.id = std::move(id);
    result.title = std::move(title);
    result.action = action;
    result.enabled = enabled;
    result.checked = checked;
    result.keyEquivalent = std::move(keyEquivalent);
    return result;
}

// The journal gets what went wrong with the server, not what the address book holds: a store's
// error may name a contact's file, so it only points to the report.
std::string logText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const DAVClient::DAVError& e) {
        return e.what();
    } catch (const DAVClient::TransportError& e) {
        return e.what();
    } catch (...) {
        return "the address book could not be read (the last-sync report has the details)";
    }
}

} // namespace

// What one sync pass holds from start to end: its own client and address book, so a disconnect
// or a new server address while it runs does not touch it, and its results.
struct AppDelegate::Pass {
    std::string server;
    std::unique_ptr<DAVClient> client;
    std::function<std::unique_ptr<ContactStore>()> makeContactStore;
    bool granted = false;
    ContactsImporter::Summary summary;
    std::vector<ContactsImporter::Outcome> outcomes;
    std::exception_ptr error;
};

// What one connection check holds: the client built from the typed values, and the values.
struct AppDelegate::Check {
    std::unique_ptr<DAVClient> client;
    std::string email;
    std::string password;
    std::exception_ptr error;
    ~Check() { Text::wipe(password); }
};

AppDelegate::AppDelegate(AppServices services) : services_(std::move(services)), alive_(std::make_shared<bool>(true)) {}

AppDelegate::~AppDelegate() {
    // Continuations still queued (or running passes) see the token gone and stop there.
    alive_.reset();
    timer_.reset();
    overdueTimer_.reset();
}

/// The launch sequence: the tray icon, the first-run defaults, the first menu and the hourly
/// timer. No pass runs at launch; the first automatic one comes an interval later.
void AppDelegate::applicationDidFinishLaunching() {
    std::weak_ptr<bool> alive = alive_;
    services_.statusItem.show([this, alive](MenuAction action) {
        if (alive.lock()) perform(action);
    });
    registerLoginItemOnFirstRun();
    if (!services_.settings.boolForKey(autoSyncDefaultedKey)) {
        services_.settings.setBool(autoSyncDefaultedKey, true);
        services_.settings.setBool(autoSyncKey, true);
    }
    rebuildMenu();
    applyAutoSync();
}

void AppDelegate::perform(MenuAction action) {
    switch (action) {
    case MenuAction::syncNow:
        syncNow();
        break;
    case MenuAction::toggleAutoSync:
        toggleAutoSync();
        break;
    case MenuAction::toggleLoginItem:
        toggleLoginItem();
        break;
    case MenuAction::connect:
        connect();
        break;
    case MenuAction::disconnect:
        disconnect();
        break;
    case MenuAction::setServer:
        setServer();
        break;
    case MenuAction::quit:
        // Nothing is done at termination: every setting was written when it changed.
        if (services_.quit)
            services_.quit();
        else
            std::exit(EXIT_SUCCESS);
        break;
    case MenuAction::none:
        break;
    }
}

/// The stored server address exactly as stored, or the default origin when none is stored.
/// Read afresh at every use, so a pass that already runs keeps the address it started with.
std::string AppDelegate::serverURL() const {
    return services_.settings.stringForKey(serverURLKey).value_or(defaultServerOrigin);
}

/// A vault client for the server address of this moment, with the program's time-outs: the
/// connection check and every pass make theirs here.
std::unique_ptr<DAVClient> AppDelegate::makeClient(const std::string& email, const std::string& password) const {
    return std::make_unique<DAVClient>(serverURL(), email, password, services_.davTimeouts);
}

/// Registers the login item once per user account. The flag is written before the attempt,
/// so a failing attempt is not retried at the next launch; its failure is dropped.
void AppDelegate::registerLoginItemOnFirstRun() {
    if (services_.settings.boolForKey(loginItemDefaultedKey)) return;
    services_.settings.setBool(loginItemDefaultedKey, true);
    (void)services_.loginItem.registerItem();
}

/// Flips the login item by the status the service reports now (only "enabled" unregisters),
/// and rebuilds the menu in every case, after any alert, so the check mark shows what the
/// service reports afterwards rather than what the toggle aimed at.
void AppDelegate::toggleLoginItem() {
    const auto failure = services_.loginItem.status() == LoginItemService::Status::enabled
                             ? services_.loginItem.unregisterItem()
                             : services_.loginItem.registerItem();
    if (failure) showAlert(loginItemFailedPrefix + *failure);
    rebuildMenu();
}

void AppDelegate::showAlert(const std::string& text) {
    services_.dialogs.alert(displayName, text);
}

/// Shows the menu for the state of this moment and asks the keyring afresh; its answer updates
/// the menu again when it comes.
void AppDelegate::rebuildMenu() {
    showMenu();
    readKeyring(nullptr);
}

/// The whole menu from the settings, the login item and the keyring's last answer.
void AppDelegate::showMenu() {
    const bool waiting = !answered_ || answer_ == CredentialRead::Answer::failed || overdue_;
    const bool connected = !waiting && answer_ == CredentialRead::Answer::stored;
    Menu menu;
    menu.push_back(item("sync", syncing_ ? "Syncing\u2026" : "Sync Contacts Now", MenuAction::syncNow,
                        connected && !syncing_, false, "s"));
    if (const auto summary = services_.settings.stringForKey(lastSyncSummaryKey))
        menu.push_back(item("lastSync", *summary, MenuAction::none, false));
    menu.push_back(
        item("autoSync", "Sync Hourly", MenuAction::toggleAutoSync, true, services_.settings.boolForKey(autoSyncKey)));
    menu.push_back(item("loginItem", "Start at Login", MenuAction::toggleLoginItem, true,
                        services_.loginItem.status() == LoginItemService::Status::enabled));
    menu.push_back(MenuItem::makeSeparator("accountSeparator"));
    if (waiting) {
        menu.push_back(item("waiting", "Waiting for the keyring\u2026", MenuAction::none, false));
    } else if (connected) {
        menu.push_back(item("connectedAs", "Connected as " + connectedEmail_, MenuAction::none, false));
        menu.push_back(item("disconnect", "Disconnect", MenuAction::disconnect));
    } else {
        menu.push_back(item("connect", "Connect\u2026", MenuAction::connect));
    }
    const auto url = URL::parse(serverURL());
    const std::string host = url && !url->host.empty() ? url->host : "?";
    menu.push_back(item("server", "Server: " + host + "\u2026", MenuAction::setServer));
    menu.push_back(MenuItem::makeSeparator("quitSeparator"));
    menu.push_back(item("quit", "Quit", MenuAction::quit, true, false, "q"));

    services_.statusItem.setMenu(menu);
}

/// Runs keyring calls one at a time on a worker, in the order asked, so a read asked for after
/// a save or a delete sees its effect.
void AppDelegate::useKeyring(KeyringWork work, std::function<void()> thenOnMain) {
    keyringJobs_.emplace_back(std::move(work), std::move(thenOnMain));
    if (!keyringBusy_) runNextKeyringJob();
}

void AppDelegate::runNextKeyringJob() {
    if (keyringJobs_.empty()) return;
    KeyringWork work = std::move(keyringJobs_.front().first);
    std::function<void()> then = std::move(keyringJobs_.front().second);
    keyringJobs_.pop_front();
    keyringBusy_ = true;
    std::weak_ptr<bool> alive = alive_;
    auto done = [this, alive, then = std::move(then)] {
        if (!alive.lock()) return;
        keyringBusy_ = false;
        then();
        runNextKeyringJob();
    };
    try {
        services_.dispatcher.runInBackground([work, &keychain = services_.keychain] { work(keychain); }, done);
    } catch (...) {
        done(); // the job could not be handed off: it ends without an answer
    }
}

/// Asks the keyring for the credential; `thenOnMain` (if any) gets the answer. A read already
/// on its way answers every caller that asks meanwhile.
void AppDelegate::readKeyring(std::function<void(const CredentialRead&)> thenOnMain) {
    if (thenOnMain) readWaiters_.push_back(std::move(thenOnMain));
    if (readPending_) return;
    readPending_ = true;
    std::weak_ptr<bool> alive = alive_;
    if (!overdueTimer_) {
        overdueTimer_ = services_.timers.scheduleOnce(keyringPatience, [this, alive] {
            if (!alive.lock() || !readPending_) return;
            overdue_ = true;
            showMenu();
        });
    }
    auto read = std::make_shared<CredentialRead>();
    useKeyring([read](Keychain& keychain) { *read = keychain.readCredential(); },
               [this, read, writes = writesQueued_] {
                   keyringAnswered(*read, writes);
                   if (read->credential) Text::wipe(read->credential->password);
               });
}

/// The keyring's answer: kept for the menu unless a save or a delete was asked for after the
/// read (the read queued behind it tells), then given to everyone who waited for it.
void AppDelegate::keyringAnswered(const CredentialRead& read, unsigned writesWhenAsked) {
    readPending_ = false;
    overdue_ = false;
    overdueTimer_.reset();
    if (writesWhenAsked == writesQueued_) {
        if (read.answer == CredentialRead::Answer::failed && (!answered_ || answer_ != read.answer))
            Log::warning("the keyring (Secret Service) did not answer; asking again at the next menu update");
        answered_ = true;
        answer_ = read.answer;
        connectedEmail_ = read.credential ? read.credential->email : std::string();
    }
    showMenu();
    auto waiters = std::move(readWaiters_);
    readWaiters_.clear();
    for (const auto& waiter : waiters)
        waiter(read);
}

/// Starts one pass unless one is running or starting. The credential comes from a fresh keyring
/// read; without one (none stored, a keyring that stays locked or does not answer) nothing more
/// happens than the menu showing that answer, also for a tick of the hourly timer.
void AppDelegate::syncNow() {
    if (syncing_ || passStarting_) return;
    passStarting_ = true;
    readKeyring([this](const CredentialRead& read) {
        passStarting_ = false;
        if (read.credential) startPass(*read.credential);
    });
}

/// The pass gets its own client for the server address and credential of this moment. Opening
/// the address book, the access request and the pass run as one job off the main thread, and
/// its outcome is handled back on it.
void AppDelegate::startPass(const Credential& credential) {
    syncing_ = true;
    showMenu();
    auto pass = std::make_shared<Pass>();
    pass->server = serverURL();
    try {
        pass->client = makeClient(credential.email, credential.password);
        pass->makeContactStore = services_.makeContactStore;
        std::weak_ptr<bool> alive = alive_;
        services_.dispatcher.runInBackground(
            [pass] {
                try {
                    if (!pass->makeContactStore) throw std::runtime_error("No address book is available.");
                    const std::unique_ptr<ContactStore> store = pass->makeContactStore();
                    if (!store) throw std::runtime_error("No address book is available.");
                    pass->granted = ContactsImporter::requestAccess(*store);
                    if (pass->granted) pass->summary = ContactsImporter::sync(*pass->client, *store, &pass->outcomes);
                } catch (...) {
                    pass->error = std::current_exception();
                }
                pass->client.reset(); // its copy of the credential goes now
            },
            [this, alive, pass] {
                if (alive.lock()) finishPass(*pass);
            });
    } catch (...) {
        // The client could not be made or the work could not be handed off: the pass ends here.
        pass->error = std::current_exception();
        finishPass(*pass);
    }
}

/// The end of a pass on the main thread: the report of what it did goes to its file, then the
/// last-sync line on success, otherwise one alert; only after the alert is dismissed is the flag
/// cleared and the menu rebuilt.
void AppDelegate::finishPass(Pass& pass) {
    try {
        const std::string when = services_.dates.shortDateTime(std::chrono::system_clock::now());
        std::string failure;
        if (pass.error) {
            failure = SyncReport::failureText(pass.error);
            Log::warning("sync failed: " + logText(pass.error));
        } else if (!pass.granted) {
            failure = SyncReport::accessDeniedText();
        }
        auto report = std::make_shared<std::string>(
            SyncReport::reportText(when, pass.server, pass.summary, pass.outcomes, failure));
        services_.dispatcher.runInBackground(
            [report, &reports = services_.reports] {
                if (const auto problem = reports.write(*report)) Log::warning("the sync report: " + *problem);
            },
            [] {});
        if (failure.empty())
            services_.settings.setString(lastSyncSummaryKey, SyncReport::lastSyncLine(when, pass.summary));
        else
            showAlert(failure);
    } catch (...) {
        // A failing desktop facility must not leave the sync item disabled for good.
    }
    syncing_ = false;
    try {
        rebuildMenu();
    } catch (...) {
    }
}

/// Keeps the hourly timer in line with the setting: the old timer goes, and a new one starts
/// its countdown from now when auto-sync is on. Ticks hold the delegate weakly.
void AppDelegate::applyAutoSync() {
    timer_.reset();
    if (!services_.settings.boolForKey(autoSyncKey)) return;
    std::weak_ptr<bool> alive = alive_;
    timer_ = services_.timers.scheduleRepeating(services_.autoSyncInterval, [this, alive] {
        if (alive.lock()) syncNow();
    });
}

void AppDelegate::toggleAutoSync() {
    services_.settings.setBool(autoSyncKey, !services_.settings.boolForKey(autoSyncKey));
    applyAutoSync();
    rebuildMenu();
}

/// Asks for the e-mail address and app password, checks them against the server off the main
/// thread, and stores them only once the server has accepted them. Cancel or an empty answer
/// ends the action silently.
void AppDelegate::connect() {
    Prompt emailPrompt;
    emailPrompt.messageText = "Connect to peltwick";
    emailPrompt.informativeText = "Your peltwick email address.";
    emailPrompt.placeholder = exampleEmail;
    const auto typedEmail = services_.dialogs.prompt(emailPrompt);
    if (!typedEmail) return;
    std::string email = Text::lowercase(Text::trimWhitespaceAndNewlines(*typedEmail));
    if (email.empty()) return;

    const std::string baseURL = serverURL();
    Prompt passwordPrompt;
    passwordPrompt.messageText = "App password";
    passwordPrompt.informativeText =
        "Mint a device password on the peltwick setup page (" + baseURL + "/app) and paste it here.";
    passwordPrompt.placeholder = "app password";
    passwordPrompt.secure = true;
    auto typedPassword = services_.dialogs.prompt(passwordPrompt);
    if (!typedPassword) return;
    std::string password = Text::trimWhitespaceAndNewlines(*typedPassword);
    Text::wipe(*typedPassword);
    if (password.empty()) return;

    auto check = std::make_shared<Check>();
    check->email = std::move(email);
    check->password = std::move(password);
    std::weak_ptr<bool> alive = alive_;
    try {
        // The address of this moment: a server change made during the second prompt counts.
        check->client = makeClient(check->email, check->password);
        services_.dispatcher.runInBackground(
            [check] {
                try {
                    check->client->verify();
                } catch (...) {
                    check->error = std::current_exception();
                }
                check->client.reset();
            },
            [this, alive, check] {
                if (alive.lock()) checkAnswered(*check);
            });
    } catch (...) {
        check->error = std::current_exception();
        checkAnswered(*check);
    }
}

/// The server's verdict on a typed credential. An accepted one is saved to the keyring (off the
/// main thread); when the keyring did not store it the user is told, since the menu would
/// otherwise silently stay disconnected.
void AppDelegate::checkAnswered(const Check& check) {
    if (check.error) {
        showAlert(SyncReport::describe(check.error));
        return;
    }
    ++writesQueued_;
    auto stored = std::make_shared<bool>(false);
    auto credential = std::make_shared<Credential>(Credential{check.email, check.password});
    useKeyring(
        [stored, credential](Keychain& keychain) {
            *stored = keychain.saveCredential(credential->email, credential->password);
            Text::wipe(credential->password);
        },
        [this, stored, email = check.email] {
            if (*stored) {
                answered_ = true;
                answer_ = CredentialRead::Answer::stored;
                connectedEmail_ = email;
            } else {
                Log::warning("the keyring did not store the credential");
                showAlert(notStoredText);
            }
            rebuildMenu();
        });
}

/// Forgets the credential: the menu shows the disconnected state at once, and reads the keyring
/// again once the delete is through.
void AppDelegate::disconnect() {
    ++writesQueued_;
    answered_ = true;
    answer_ = CredentialRead::Answer::none;
    connectedEmail_.clear();
    showMenu();
    useKeyring([](Keychain& keychain) { keychain.deleteCredential(); }, [this] { rebuildMenu(); });
}

/// Lets the user change the server address. The text is taken as typed and accepted when it
/// is an https URL, or any URL on the loopback host; it is stored as written and takes effect
/// at the next rebuild and the next client made. The credential stays stored.
void AppDelegate::setServer() {
    Prompt prompt;
    prompt.messageText = "Server URL";
    prompt.informativeText = "The peltwick server address.";
    prompt.placeholder = defaultServerOrigin;
    prompt.initialText = services_.settings.stringForKey(serverURLKey).value_or(defaultServerOrigin);
    const auto typed = services_.dialogs.prompt(prompt);
    if (!typed) return;
    const auto url = URL::parse(*typed);
    if (url && (url->scheme == "https" || url->host == "localhost" || url->host == "127.0.0.1")) {
        services_.settings.setString(serverURLKey, url->absolute);
        rebuildMenu();
        return;
    }
    showAlert(serverNotAcceptedText);
}
