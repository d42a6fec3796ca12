#pragma once

// Stand-ins for the desktop facilities, so a test can drive AppDelegate and watch what it does.

#include "core/AppDelegate.h"
#include "support/Fakes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

// The settings, the menu and the dialogs may only be used from the main thread (the test's).
inline void onMain(const char* what) {
    static const std::thread::id mainThread = std::this_thread::get_id();
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
    void show(std::function<void(MenuAction)> handler) override { onAction = std::move(handler); }
    void setMenu(const Menu& menu) override {
        onMain("setMenu");
        menus.push_back(menu);
    }
    const Menu& menu() const { return menus.back(); }
    // The shown item with this title (an empty item when there is none).
    MenuItem item(const std::string& title) const {
        for (const auto& item : menu())
            if (item.title == title) return item;
        return {};
    }
    bool has(const std::string& title) const { return !item(title).id.empty(); }
    std::string titles() const { // "Title[-][x]|..." : "-" disabled, "x" checked
        std::string all;
        for (const auto& item : menu())
            all +=
                (item.separator ? "---" : item.title) + (item.enabled ? "" : "[-]") + (item.checked ? "[x]" : "") + "|";
        return all;
    }
    void choose(MenuAction action) { onAction(action); } // as the tray does, through the launch handler

    std::function<void(MenuAction)> onAction;
    std::vector<Menu> menus;
};

struct FakeDialogs : Dialogs {
    void alert(const std::string& messageText, const std::string& informativeText) override {
        onMain("alert");
        EXPECT_EQ(messageText, "Peltwick Importer");
        alerts.push_back(informativeText);
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
    std::string alert(std::size_t n) const { return n < alerts.size() ? alerts[n] : "(no alert)"; }
    std::vector<std::string> alerts;
    std::vector<Prompt> prompts;
    std::deque<std::optional<std::string>> answers; // nullopt answers "Cancel"
    std::function<void()> whileAlertOpen;
};

struct FakeLoginItem : LoginItemService {
    Status status() override { return current; }
    std::optional<std::string> registerItem() override { return change(registers, Status::enabled); }
    std::optional<std::string> unregisterItem() override { return change(unregisters, Status::notRegistered); }
    std::optional<std::string> change(int& calls, Status to) {
        ++calls;
        if (!failure) current = to;
        return failure;
    }
    Status current = Status::notRegistered;
    int registers = 0, unregisters = 0;
    std::optional<std::string> failure;
};

// Timers on a manual clock: advance() delivers every tick that falls due, in order.
struct ManualTimers : TimerScheduler {
    struct Entry : Timer {
        Entry(ManualTimers& owner, std::chrono::milliseconds interval, std::function<void()> tick, bool repeats)
            : owner(owner), interval(interval), due(owner.now + interval), tick(std::move(tick)), repeats(repeats) {
            owner.live.push_back(this);
        }
        ~Entry() override { std::erase(owner.live, this); }
        ManualTimers& owner;
        std::chrono::milliseconds interval, due;
        std::function<void()> tick;
        bool repeats;
    };
    std::unique_ptr<Timer> scheduleRepeating(std::chrono::milliseconds interval, std::function<void()> tick) override {
        return std::make_unique<Entry>(*this, interval, std::move(tick), true);
    }
    std::unique_ptr<Timer> scheduleOnce(std::chrono::milliseconds delay, std::function<void()> fire) override {
        return std::make_unique<Entry>(*this, delay, std::move(fire), false);
    }
    void advance(std::chrono::milliseconds by) {
        const auto end = now + by;
        for (int guard = 0; guard < 100'000; ++guard) {
            const auto next =
                std::min_element(live.begin(), live.end(), [](auto a, auto b) { return a->due < b->due; });
            if (next == live.end() || (*next)->due > end) break;
            Entry* entry = *next;
            now = entry->due;
            entry->due = entry->repeats ? entry->due + entry->interval : std::chrono::milliseconds::max();
            entry->tick();
        }
        now = end;
    }
    // The interval of the one repeating timer, or zero when there is none.
    std::chrono::milliseconds hourly() const {
        for (const Entry* entry : live)
            if (entry->repeats) return entry->interval;
        return {};
    }
    std::chrono::milliseconds now{0};
    std::vector<Entry*> live; // the timers not yet destroyed
};

// Background work waits until the test runs it. Each job's work then runs on a thread of its own
// (so a main-thread-only call from it fails the test) and its continuation on the test's thread.
struct ManualDispatcher : Dispatcher {
    void runInBackground(std::function<void()> work, std::function<void()> thenOnMain) override {
        jobs.emplace_back(std::move(work), std::move(thenOnMain));
    }
    bool runOne() {
        if (jobs.empty()) return false;
        auto [work, then] = std::move(jobs.front());
        jobs.pop_front();
        std::thread(work).join();
        then();
        return true;
    }
    int runAll() { // including the jobs the continuations queue
        int ran = 0;
        while (ran < 1000 && runOne())
            ++ran;
        return ran;
    }
    std::deque<std::pair<std::function<void()>, std::function<void()>>> jobs;
};

struct FixedDates : DateFormatter {
    std::string shortDateTime(std::chrono::system_clock::time_point) override { return "12/6/26, 10:00 AM"; }
};

struct MemoryReports : SyncReportStore {
    std::optional<std::string> write(const std::string& report) override {
        std::lock_guard lock(mutex);
        last = report;
        return std::nullopt;
    }
    std::mutex mutex;
    std::string last;
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
    MemoryKeychain secItems;
    Keychain keychain{secItems};
    MemoryReports reports;
    std::shared_ptr<MemoryContactStore> book = std::make_shared<MemoryContactStore>();
    int quits = 0;
    DAVClient::Timeouts timeouts{};
    std::unique_ptr<AppDelegate> app;

    AppHarness() { secItems.workerOnly = true; }
    // Launched, with the keyring's first answer in unless `settle` is false.
    AppDelegate& launch(bool settle = true) {
        auto store = [book = book]() -> std::unique_ptr<ContactStore> {
            struct Shared : ContactStore { // each pass gets a store of its own over the one book
                std::shared_ptr<MemoryContactStore> book;
                bool requestAccess() override { return book->requestAccess(); }
                std::vector<Contact> contacts() override { return book->contacts(); }
            };
            auto made = std::make_unique<Shared>();
            made->book = book;
            return made;
        };
        app = std::make_unique<AppDelegate>(AppServices{settings, statusItem, dialogs, loginItem, timers, dispatcher,
                                                        dates, keychain, reports, store, timeouts,
                                                        std::chrono::hours(1), [this] { ++quits; }});
        app->applicationDidFinishLaunching();
        if (settle) dispatcher.runAll();
        return *app;
    }
    // A launch after the first: the first-run defaults are already settled.
    AppDelegate& relaunch() {
        settings.bools[AppDelegate::loginItemDefaultedKey] = settings.bools[AppDelegate::autoSyncDefaultedKey] = true;
        return launch();
    }
    void store(const std::string& email, const std::string& password) { secItems.data = email + "\n" + password; }
    void choose(MenuAction action) {
        statusItem.choose(action);
        dispatcher.runAll();
    }
};
