#pragma once

// Small stand-ins for the desktop facilities, so AppDelegate can be driven and watched from a
// test: settings in a map, a status item that records every menu, scripted dialogs, a login
// item with a settable status, a timer driven by a manual clock, dispatchers that run work
// when the test says so (or on a real worker thread), a fixed date and an in-memory keychain.

#include "core/AppDelegate.h"
#include "core/Desktop.h"
#include "core/Keychain.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// The real settings, menu, dialogs and keyring may only be used from the main thread: the
// fakes fail the test when called from any other thread than the one that made them.
class MainThreadOnly {
protected:
    void onMain(const char* what) const {
        if (std::this_thread::get_id() != owner_) ADD_FAILURE() << what << " called off the main thread";
    }

private:
    std::thread::id owner_ = std::this_thread::get_id();
};

class FakeSettings : public SettingsStore, MainThreadOnly {
public:
    bool boolForKey(const std::string& key) override {
        onMain("settings");
        const auto it = bools.find(key);
        return it != bools.end() && it->second;
    }
    void setBool(const std::string& key, bool value) override {
        onMain("settings");
        bools[key] = value;
    }
    std::optional<std::string> stringForKey(const std::string& key) override {
        onMain("settings");
        const auto it = strings.find(key);
        if (it == strings.end()) return std::nullopt;
        return it->second;
    }
    void setString(const std::string& key, const std::string& value) override {
        onMain("settings");
        strings[key] = value;
    }

    std::map<std::string, bool> bools;
    std::map<std::string, std::string> strings;
};

class FakeStatusItem : public StatusItem, MainThreadOnly {
public:
    void show(std::function<void(MenuAction)> handler) override {
        ++shows;
        onAction = std::move(handler);
    }
    void setMenu(const Menu& menu) override {
        onMain("setMenu");
        menus.push_back(menu);
    }

    const Menu& menu() const { return menus.back(); }
    // The titles top to bottom, separators as "---".
    std::vector<std::string> titles() const {
        std::vector<std::string> result;
        for (const auto& item : menu())
            result.push_back(item.separator ? "---" : item.title);
        return result;
    }
    // The item with this title in the current menu; fails the test when there is none.
    MenuItem item(const std::string& title) const {
        for (const auto& item : menu())
            if (!item.separator && item.title == title) return item;
        ADD_FAILURE() << "no menu item \"" << title << "\"";
        return {};
    }
    bool has(const std::string& title) const {
        for (const auto& item : menu())
            if (!item.separator && item.title == title) return true;
        return false;
    }
    // Chooses an item the way the tray does: through the handler given at launch.
    void choose(MenuAction action) { onAction(action); }

    int shows = 0;
    std::function<void(MenuAction)> onAction;
    std::vector<Menu> menus;
};

class FakeDialogs : public Dialogs, MainThreadOnly {
public:
    struct Alert {
        std::string title;
        std::string text;
    };

    void alert(const std::string& messageText, const std::string& informativeText) override {
        onMain("alert");
        alerts.push_back({messageText, informativeText});
        if (whileAlertOpen) whileAlertOpen(informativeText);
    }
    std::optional<std::string> prompt(const Prompt& prompt) override {
        onMain("prompt");
        prompts.push_back(prompt);
        if (answers.empty()) {
            ADD_FAILURE() << "unexpected prompt \"" << prompt.messageText << "\"";
            return std::nullopt;
        }
        auto answer = answers.front();
        answers.pop_front();
        return answer;
    }

    std::vector<Alert> alerts;
    std::vector<Prompt> prompts;
    std::deque<std::optional<std::string>> answers; // nullopt answers "Cancel"
    std::function<void(const std::string&)> whileAlertOpen;
};

class FakeLoginItem : public LoginItemService {
public:
    int status() override { return currentStatus; }
    std::optional<std::string> registerItem() override {
        ++registers;
        if (registerFailure) return registerFailure;
        currentStatus = enabled;
        return std::nullopt;
    }
    std::optional<std::string> unregisterItem() override {
        ++unregisters;
        if (unregisterFailure) return unregisterFailure;
        currentStatus = notRegistered;
        return std::nullopt;
    }

    int currentStatus = notRegistered;
    std::optional<std::string> registerFailure, unregisterFailure;
    int registers = 0, unregisters = 0;
};

// Timers on a manual clock: advance() delivers every tick that falls due, in order.
class ManualTimers : public TimerScheduler {
public:
    struct Entry {
        std::chrono::milliseconds interval;
        std::chrono::milliseconds due;
        std::function<void()> tick;
        bool live = true;
    };

    std::unique_ptr<RepeatingTimer> scheduleRepeating(std::chrono::milliseconds interval,
                                                      std::function<void()> tick) override {
        auto entry = std::make_shared<Entry>(Entry{interval, now + interval, std::move(tick)});
        entries.push_back(entry);
        return std::make_unique<Handle>(entry);
    }

    void advance(std::chrono::milliseconds by) {
        const auto end = now + by;
        for (int guard = 0; guard < 100'000; ++guard) {
            std::shared_ptr<Entry> next;
            for (const auto& entry : entries)
                if (entry->live && entry->due <= end && (!next || entry->due < next->due)) next = entry;
            if (!next) break;
            now = next->due;
            next->due += next->interval;
            next->tick();
        }
        now = end;
    }

    int liveTimers() const {
        int count = 0;
        for (const auto& entry : entries)
            count += entry->live ? 1 : 0;
        return count;
    }

    std::chrono::milliseconds now{0};
    std::vector<std::shared_ptr<Entry>> entries;

private:
    class Handle : public RepeatingTimer {
    public:
        explicit Handle(std::shared_ptr<Entry> entry) : entry_(std::move(entry)) {}
        ~Handle() override { entry_->live = false; }

    private:
        std::shared_ptr<Entry> entry_;
    };
};

// Background work waits in a queue until the test runs it; work and continuation then run on
// the test's thread, one job at a time.
class ManualDispatcher : public Dispatcher {
public:
    void runInBackground(std::function<void()> work, std::function<void()> thenOnMain) override {
        jobs.emplace_back(std::move(work), std::move(thenOnMain));
    }
    bool runNext() {
        if (jobs.empty()) return false;
        auto [work, then] = std::move(jobs.front());
        jobs.pop_front();
        work();
        then();
        return true;
    }
    // Runs jobs, including those the continuations queue, until none is left.
    int runAll() {
        int ran = 0;
        while (ran < 1000 && runNext())
            ++ran;
        return ran;
    }

    std::deque<std::pair<std::function<void()>, std::function<void()>>> jobs;
};

// Work runs on a real worker thread; the continuation is queued for the test's thread, which
// plays the main thread by calling pumpUntil().
class ThreadDispatcher : public Dispatcher {
public:
    ~ThreadDispatcher() override {
        for (auto& worker : workers)
            worker.join();
    }
    void runInBackground(std::function<void()> work, std::function<void()> thenOnMain) override {
        workers.emplace_back([this, work = std::move(work), then = std::move(thenOnMain)]() mutable {
            work();
            std::lock_guard lock(mutex);
            mainQueue.push_back(std::move(then));
            ready.notify_all();
        });
    }
    // Runs queued continuations until done() holds or the time is up; true when done() held.
    bool pumpUntil(const std::function<bool()>& done,
                   std::chrono::milliseconds limit = std::chrono::milliseconds(10'000)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            std::function<void()> next;
            {
                std::unique_lock lock(mutex);
                if (!ready.wait_until(lock, deadline, [this] { return !mainQueue.empty(); })) return done();
                next = std::move(mainQueue.front());
                mainQueue.pop_front();
            }
            next();
            ++ran;
        }
        return true;
    }

    std::vector<std::thread> workers;
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::function<void()>> mainQueue;
    int ran = 0; // continuations run so far
};

class FixedDates : public DateFormatter {
public:
    std::string shortDateTime(std::chrono::system_clock::time_point) override { return text; }
    std::string text = "12/6/26, 10:00 AM";
};

// The keychain item in memory; `failing` makes every call fail as a locked keyring would.
class MemorySecItems : public SecItemStore, MainThreadOnly {
public:
    int update(const std::string& value) override {
        onMain("keyring");
        if (failing) return -25308;
        if (!data) return errSecItemNotFound;
        data = value;
        return errSecSuccess;
    }
    int add(const std::string& value) override {
        onMain("keyring");
        if (failing) return -25308;
        data = value;
        return errSecSuccess;
    }
    int copyMatching(std::string& value) override {
        onMain("keyring");
        if (failing) return -25308;
        if (!data) return errSecItemNotFound;
        value = *data;
        return errSecSuccess;
    }
    int remove() override {
        onMain("keyring");
        if (failing) return -25308;
        if (!data) return errSecItemNotFound;
        data.reset();
        return errSecSuccess;
    }

    std::optional<std::string> data;
    bool failing = false;
};

// An address book whose answers the test sets; shared so the test still sees it after the
// delegate has made a store of it for a pass.
struct FakeAddressBook {
    std::vector<Contact> contacts;
    bool granted = true;
    bool accessThrows = false;
    bool readThrows = false;
    std::atomic<int> storesMade{0};
    std::atomic<int> accessRequests{0};
};

class FakeContactStore : public ContactStore {
public:
    explicit FakeContactStore(std::shared_ptr<FakeAddressBook> book) : book_(std::move(book)) {}
    bool requestAccess() override {
        ++book_->accessRequests;
        if (book_->accessThrows) throw std::runtime_error("The address book could not be opened.");
        return book_->granted;
    }
    std::vector<Contact> contacts() override {
        if (book_->readThrows) throw std::runtime_error("No address book was found in /nonexistent/contacts.");
        return book_->contacts;
    }

private:
    std::shared_ptr<FakeAddressBook> book_;
};

inline Contact person(std::string given, std::string family) {
    Contact contact;
    contact.givenName = std::move(given);
    contact.familyName = std::move(family);
    return contact;
}

// Every fake, wired into one AppDelegate the way main wires the real facilities.
template <typename DispatcherType = ManualDispatcher> struct AppHarness {
    FakeSettings settings;
    FakeStatusItem statusItem;
    FakeDialogs dialogs;
    FakeLoginItem loginItem;
    ManualTimers timers;
    DispatcherType dispatcher;
    FixedDates dates;
    MemorySecItems secItems;
    Keychain keychain{secItems};
    std::shared_ptr<FakeAddressBook> book = std::make_shared<FakeAddressBook>();
    int quits = 0;
    DAVClient::Timeouts timeouts{};
    std::unique_ptr<AppDelegate> app;

    AppDelegate& make() {
        auto shared = book;
        app = std::make_unique<AppDelegate>(AppServices{settings, statusItem, dialogs, loginItem, timers, dispatcher,
                                                        dates, keychain,
                                                        [shared]() -> std::unique_ptr<ContactStore> {
                                                            ++shared->storesMade;
                                                            return std::make_unique<FakeContactStore>(shared);
                                                        },
                                                        timeouts, [this] { ++quits; }});
        return *app;
    }
    AppDelegate& launch() {
        make().applicationDidFinishLaunching();
        return *app;
    }
};
