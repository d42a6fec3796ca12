#pragma once

// Stand-ins for the desktop facilities, so a test can drive AppDelegate and watch what it does.

#include "core/AppDelegate.h"
#include "core/Desktop.h"
#include "core/Keychain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <stdexcept>
#include <thread>
#include <utility>

// The real settings, menu, dialogs and keyring may only be used from the main thread.
inline const std::thread::id mainThread = std::this_thread::get_id();
inline void onMain(const char* what) {
    if (std::this_thread::get_id() != mainThread) ADD_FAILURE() << what << " called off the main thread";
}

struct FakeSettings : SettingsStore {
    bool boolForKey(const std::string& key) override { return get(bools, key).value_or(false); }
    void setBool(const std::string& key, bool value) override { set(bools, key, value); }
    std::optional<std::string> stringForKey(const std::string& key) override { return get(strings, key); }
    void setString(const std::string& key, const std::string& value) override { set(strings, key, value); }
    template <typename T> static std::optional<T> get(const std::map<std::string, T>& map, const std::string& key) {
        onMain("settings");
        return map.count(key) ? std::optional(map.at(key)) : std::nullopt;
    }
    template <typename T> static void set(std::map<std::string, T>& map, const std::string& key, const T& value) {
        onMain("settings");
        map[key] = value;
    }
    std::map<std::string, bool> bools;
    std::map<std::string, std::string> strings;
};

struct FakeStatusItem : StatusItem {
    void show(std::function<void(MenuAction)> handler) override {
        ++shows;
        onAction = std::move(handler);
    }
    void setMenu(const Menu& menu) override {
        onMain("setMenu");
        menus.push_back(menu);
    }
    const Menu& menu() const { return menus.back(); }
    const MenuItem* has(const std::string& title) const {
        for (const auto& item : menu())
            if (!item.separator && item.title == title) return &item;
        return nullptr;
    }
    MenuItem item(const std::string& title) const {
        EXPECT_TRUE(has(title)) << "no menu item " << title;
        return has(title) ? *has(title) : MenuItem{};
    }
    void choose(MenuAction action) { onAction(action); } // as the tray does, through the launch handler

    int shows = 0;
    std::function<void(MenuAction)> onAction;
    std::vector<Menu> menus;
};

struct FakeDialogs : Dialogs {
    struct Alert {
        std::string title, text;
    };
    void alert(const std::string& messageText, const std::string& informativeText) override {
        onMain("alert");
        alerts.push_back({messageText, informativeText});
        if (whileAlertOpen) whileAlertOpen();
    }
    std::optional<std::string> prompt(const Prompt& prompt) override {
        onMain("prompt");
        prompts.push_back(prompt);
        EXPECT_FALSE(answers.empty()) << "unexpected prompt " << prompt.messageText;
        if (answers.empty()) return std::nullopt;
        auto answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::string alertText(std::size_t n) const { return n < alerts.size() ? alerts[n].text : "(no alert)"; }
    std::vector<Alert> alerts;
    std::vector<Prompt> prompts;
    std::deque<std::optional<std::string>> answers; // nullopt answers "Cancel"
    std::function<void()> whileAlertOpen;
};

struct FakeLoginItem : LoginItemService {
    Status status() override { return currentStatus; }
    std::optional<std::string> registerItem() override { return change(registers, registerFailure, Status::enabled); }
    std::optional<std::string> unregisterItem() override {
        return change(unregisters, unregisterFailure, Status::notRegistered);
    }
    std::optional<std::string> change(int& calls, const std::optional<std::string>& failure, Status status) {
        ++calls;
        if (!failure) currentStatus = status;
        return failure;
    }
    Status currentStatus = Status::notRegistered;
    int registers = 0, unregisters = 0;
    std::optional<std::string> registerFailure, unregisterFailure;
};

// Timers on a manual clock: advance() delivers every tick that falls due, in order.
struct ManualTimers : TimerScheduler {
    struct Timer : RepeatingTimer {
        Timer(std::vector<Timer*>& live, std::chrono::milliseconds interval, std::chrono::milliseconds due,
              std::function<void()> tick)
            : live(live), interval(interval), due(due), tick(std::move(tick)) {
            live.push_back(this);
        }
        ~Timer() override { std::erase(live, this); }
        std::vector<Timer*>& live;
        std::chrono::milliseconds interval, due;
        std::function<void()> tick;
    };
    std::unique_ptr<RepeatingTimer> scheduleRepeating(std::chrono::milliseconds interval,
                                                      std::function<void()> tick) override {
        return std::make_unique<Timer>(live, interval, now + interval, std::move(tick));
    }
    void advance(std::chrono::milliseconds by) {
        const auto end = now + by;
        for (int guard = 0; guard < 100'000; ++guard) {
            const auto next =
                std::min_element(live.begin(), live.end(), [](auto a, auto b) { return a->due < b->due; });
            if (next == live.end() || (*next)->due > end) break;
            now = (*next)->due;
            (*next)->due += (*next)->interval;
            (*next)->tick();
        }
        now = end;
    }
    std::chrono::milliseconds now{0};
    std::vector<Timer*> live; // the timers not yet destroyed
};

// Background work waits until the test runs it. Each job's work then runs on a thread of its own
// (so a main-thread-only call from it fails the test) and its continuation on the test's thread.
struct ManualDispatcher : Dispatcher {
    void runInBackground(std::function<void()> work, std::function<void()> thenOnMain) override {
        jobs.emplace_back(std::move(work), std::move(thenOnMain));
    }
    int runAll() { // including the jobs the continuations queue
        int ran = 0;
        for (; ran < 1000 && !jobs.empty(); ++ran) {
            auto [work, then] = std::move(jobs.front());
            jobs.pop_front();
            std::thread(work).join();
            then();
        }
        return ran;
    }
    std::deque<std::pair<std::function<void()>, std::function<void()>>> jobs;
};

struct FixedDates : DateFormatter {
    std::string shortDateTime(std::chrono::system_clock::time_point) override { return text; }
    std::string text = "12/6/26, 10:00 AM";
};

// The keyring item in memory.
struct MemorySecItems : SecItemStore {
    int update(const std::string& value) override { return data ? add(value) : errSecItemNotFound; }
    int add(const std::string& value) override {
        onMain("keyring");
        data = value;
        return errSecSuccess;
    }
    int copyMatching(std::string& value) override {
        onMain("keyring");
        value = data.value_or("");
        return data ? errSecSuccess : errSecItemNotFound;
    }
    int remove() override {
        onMain("keyring");
        return std::exchange(data, std::nullopt) ? errSecSuccess : errSecItemNotFound;
    }
    std::optional<std::string> data;
};

// An address book whose answers the test sets, shared with every store the delegate makes of it.
struct FakeAddressBook {
    std::vector<Contact> contacts;
    bool granted = true, readThrows = false, makeThrows = false;
    std::atomic<int> storesMade{0}, accessRequests{0};
};

struct FakeContactStore : ContactStore {
    explicit FakeContactStore(std::shared_ptr<FakeAddressBook> book) : book(std::move(book)) {}
    bool requestAccess() override {
        ++book->accessRequests;
        return book->granted;
    }
    std::vector<Contact> contacts() override {
        if (book->readThrows) throw std::runtime_error("No address book was found in /nonexistent/contacts.");
        return book->contacts;
    }
    std::shared_ptr<FakeAddressBook> book;
};

// Every fake, wired into one AppDelegate the way main wires the real facilities.
struct AppHarness {
    FakeSettings settings;
    FakeStatusItem statusItem;
    FakeDialogs dialogs;
    FakeLoginItem loginItem;
    ManualTimers timers;
    ManualDispatcher dispatcher;
    FixedDates dates;
    MemorySecItems secItems;
    Keychain keychain{secItems};
    std::shared_ptr<FakeAddressBook> book = std::make_shared<FakeAddressBook>();
    int quits = 0;
    DAVClient::Timeouts timeouts{};
    std::unique_ptr<AppDelegate> app;

    AppDelegate& make() {
        auto makeStore = [book = book]() -> std::unique_ptr<ContactStore> {
            ++book->storesMade;
            if (book->makeThrows) throw 42;
            return std::make_unique<FakeContactStore>(book);
        };
        app = std::make_unique<AppDelegate>(AppServices{settings, statusItem, dialogs, loginItem, timers, dispatcher,
                                                        dates, keychain, makeStore, timeouts, [this] { ++quits; }});
        return *app;
    }
    AppDelegate& launch() {
        make().applicationDidFinishLaunching();
        return *app;
    }
    // A launch after the first: the first-run defaults are already settled.
    AppDelegate& relaunch() {
        settings.bools[AppDelegate::loginItemDefaultedKey] = settings.bools[AppDelegate::autoSyncDefaultedKey] = true;
        return launch();
    }
    bool checked(const std::string& title) const { return statusItem.item(title).checked; }
};
