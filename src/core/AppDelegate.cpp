#include "core/AppDelegate.h"

#include "core/Text.h"

#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

// AppDelegate owns every long-lived piece of the program: the status item's menu, the hourly
// timer, the `syncing` flag and the settings. Everything here runs on the main thread; the
// contacts access request, the sync pass and the connection check go through the dispatcher,
// whose continuations come back to the main thread. Continuations hold only a weak token of
// the delegate, so one that arrives after the delegate is gone does nothing.

namespace {

// The stores of a Linux desktop grant access without asking; a sandboxed store may refuse.
constexpr const char* accessDeniedText =
    "Contacts access was denied. Allow it in System Settings \u2192 Privacy & Security \u2192 Contacts.";
constexpr const char* passwordRejectedText = "The app password was rejected \u2014 it may have been revoked. "
                                             "Mint a new one on the peltwick setup page and Connect again.";
constexpr const char* serverNotAcceptedText = "Enter an https:// URL (plain http is allowed only for localhost).";
constexpr const char* loginItemFailedPrefix = "Could not update the login item: ";
constexpr const char* unknownErrorText = "An unexpected error occurred.";
constexpr const char* exampleEmail = "you@example.com";

// The user-facing description of a caught error of any type.
std::string describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return unknownErrorText;
    }
}

bool isNotAuthorised(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const DAVClient::DAVError& e) {
        return e.kind() == DAVClient::DAVError::notAuthorised;
    } catch (...) {
        return false;
    }
}

MenuItem item(std::string title, MenuAction action, bool enabled = true, bool checked = false,
              std::string keyEquivalent = {}) {
    MenuItem result;
    result.title = std::move(title);
    result.action = action;
    result.enabled = enabled;
    result.checked = checked;
    result.keyEquivalent = std::move(keyEquivalent);
    return result;
}

} // namespace

// What one sync pass holds from start to end: its own client and address book, so a
// disconnect or a new server address while it runs does not touch it, and its results.
struct AppDelegate::Pass {
    std::unique_ptr<DAVClient> client;
    std::function<std::unique_ptr<ContactStore>()> makeContactStore;
    std::unique_ptr<ContactStore> store;
    bool granted = false;
    ContactsImporter::Summary summary;
    std::exception_ptr error;
};

// What one connection check holds: the client built from the typed values, and the values.
struct AppDelegate::Check {
    std::unique_ptr<DAVClient> client;
    std::string email;
    std::string password;
    std::exception_ptr error;
};

AppDelegate::AppDelegate(AppServices services) : services_(std::move(services)), alive_(std::make_shared<bool>(true)) {}

AppDelegate::~AppDelegate() {
    // Continuations still queued (or running passes) see the token gone and stop there.
    alive_.reset();
    timer_.reset();
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

/// Builds the whole menu anew from the state stored right now and hands it to the status item.
void AppDelegate::rebuildMenu() {
    Menu menu;
    const auto credential = services_.keychain.loadCredential();

    menu.push_back(item(syncing_ ? "Syncing\u2026" : "Sync Contacts Now", MenuAction::syncNow,
                        credential.has_value() && !syncing_, false, "s"));
    if (const auto summary = services_.settings.stringForKey(lastSyncSummaryKey))
        menu.push_back(item(*summary, MenuAction::none, false));
    menu.push_back(item("Sync Hourly", MenuAction::toggleAutoSync, true, services_.settings.boolForKey(autoSyncKey)));
    menu.push_back(item("Start at Login", MenuAction::toggleLoginItem, true,
                        services_.loginItem.status() == LoginItemService::Status::enabled));
    menu.push_back(MenuItem::makeSeparator());
    if (credential) {
        menu.push_back(item("Connected as " + credential->email, MenuAction::none, false));
        menu.push_back(item("Disconnect", MenuAction::disconnect));
    } else {
        menu.push_back(item("Connect\u2026", MenuAction::connect));
    }
    const auto url = URL::parse(serverURL());
    const std::string host = url && !url->host.empty() ? url->host : "?";
    menu.push_back(item("Server: " + host + "\u2026", MenuAction::setServer));
    menu.push_back(MenuItem::makeSeparator());
    menu.push_back(item("Quit", MenuAction::quit, true, false, "q"));

    services_.statusItem.setMenu(menu);
}

/// Starts one pass unless one is running or no credential is stored. The pass gets its own
/// client for the server address and credential of this moment; the access request and the
/// pass run off the main thread, and their outcomes are handled back on it.
void AppDelegate::syncNow() {
    if (syncing_) return;
    const auto credential = services_.keychain.loadCredential();
    if (!credential) return;
    syncing_ = true;
    rebuildMenu();

    auto pass = std::make_shared<Pass>();
    try {
        pass->client = makeClient(credential->email, credential->password);
        pass->makeContactStore = services_.makeContactStore;
        std::weak_ptr<bool> alive = alive_;
        services_.dispatcher.runInBackground(
            [pass] {
                try {
                    // Opening an address book may take a while (a desktop service), so it is
                    // done here rather than on the main thread.
                    if (!pass->makeContactStore) throw std::runtime_error("No address book is available.");
                    pass->store = pass->makeContactStore();
                    if (!pass->store) throw std::runtime_error("No address book is available.");
                    pass->granted = ContactsImporter::requestAccess(*pass->store);
                } catch (...) {
                    pass->error = std::current_exception();
                }
            },
            [this, alive, pass] {
                if (alive.lock()) accessAnswered(pass);
            });
    } catch (...) {
        // The client could not be made or the work could not be handed off: the pass ends here.
        pass->error = std::current_exception();
        finishPass(*pass);
    }
}

void AppDelegate::accessAnswered(const std::shared_ptr<Pass>& pass) {
    if (pass->error || !pass->granted) {
        finishPass(*pass);
        return;
    }
    try {
        std::weak_ptr<bool> alive = alive_;
        services_.dispatcher.runInBackground(
            [pass] {
                try {
                    pass->summary = ContactsImporter::sync(*pass->client, *pass->store);
                } catch (...) {
                    pass->error = std::current_exception();
                }
            },
            [this, alive, pass] {
                if (alive.lock()) finishPass(*pass);
            });
    } catch (...) {
        pass->error = std::current_exception();
        finishPass(*pass);
    }
}

/// The end of a pass on the main thread: the last-sync line on success, otherwise one alert;
/// only then, after the alert is dismissed, is the flag cleared and the menu rebuilt.
void AppDelegate::finishPass(const Pass& pass) {
    try {
        if (pass.error) {
            showAlert(isNotAuthorised(pass.error) ? passwordRejectedText : describe(pass.error));
        } else if (!pass.granted) {
            showAlert(accessDeniedText);
        } else {
            const std::string line = "Last sync " + services_.dates.shortDateTime(std::chrono::system_clock::now()) +
                                     ": " + std::to_string(pass.summary.added) + " added, " +
                                     std::to_string(pass.summary.skipped) + " already in your vault";
            services_.settings.setString(lastSyncSummaryKey, line);
        }
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
    timer_ = services_.timers.scheduleRepeating(std::chrono::duration_cast<std::chrono::milliseconds>(autoSyncInterval),
                                                [this, alive] {
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
    const auto typedPassword = services_.dialogs.prompt(passwordPrompt);
    if (!typedPassword) return;
    std::string password = Text::trimWhitespaceAndNewlines(*typedPassword);
    if (password.empty()) return;

    auto check = std::make_shared<Check>();
    check->email = std::move(email);
    check->password = std::move(password);
    try {
        // The address of this moment: a server change made during the second prompt counts.
        check->client = makeClient(check->email, check->password);
        std::weak_ptr<bool> alive = alive_;
        services_.dispatcher.runInBackground(
            [check] {
                try {
                    check->client->verify();
                } catch (...) {
                    check->error = std::current_exception();
                }
            },
            [this, alive, check] {
                if (!alive.lock()) return;
                try {
                    checkAnswered(*check);
                } catch (...) {
                    // The keychain and the dialogs report no errors; nothing may reach the dispatcher.
                }
            });
    } catch (...) {
        check->error = std::current_exception();
        checkAnswered(*check);
    }
}

void AppDelegate::checkAnswered(const Check& check) {
    if (check.error) {
        showAlert(describe(check.error));
        return;
    }
    services_.keychain.saveCredential(check.email, check.password);
    rebuildMenu();
}

void AppDelegate::disconnect() {
    services_.keychain.deleteCredential();
    rebuildMenu();
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
