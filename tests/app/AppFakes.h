#pragma once

// Stand-ins for the desktop facilities, so a test can drive AppDelegate and watch what it does.
// The settings, the menu and the dialogs may only be used from the test's thread (the main one).

#include "core/AppDelegate.h"
#include "support/Fakes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

inline void onMain() {
    static const std::thread::id mainThread = std::this_thread::get_id();
    EXPECT_EQ(std::this_thread::get_id(), mainThread) << "a main-thread facility used off the main thread";
}

struct FakeSettings : SettingsStore {
    bool boolForKey(const std::string& key) override { return onMain(), bools[key]; }
    void setBool(const std::string& key, bool value) override { onMain(), bools[key] = value; }
    std::optional<std::string> stringForKey(const std::string& key) override {
        onMain();
        return strings.count(key) ? std::optional(strings[key]) : std::nullopt;
    }
    void setString(const std::string& key, const std::string& value) override { onMain(), strings[key] = value; }
    std::map<std::string, bool> bools;
    std::map<std::string, std::string> strings;
};

struct FakeStatusItem : StatusItem {
    void show(std::function<void(MenuAction)> handler) override { onAction = std::move(handler); }
    void setMenu(const Menu& menu) override { onMain(), menus.push_back(menu); }
    const Menu& menu() const { return menus.back(); }
    MenuItem item(const std::string& title) const { // an empty item when none has this title
        const auto found = std::find_if(menu().begin(), menu().end(), [&](auto& i) { return i.title == title; });
        return found == menu().end() ? MenuItem{} : *found;
    }
    bool has(const std::string& title) const { return !item(title).id.empty(); }
    std::string titles() const { // "Title[-][x]|...": "-" disabled, "x" checked
        std::string all;
        for (const auto& i : menu())
            all += (i.separator ? "---" : i.title) + (i.enabled ? "" : "[-]") + (i.checked ? "[x]" : "") + "|";
        return all;
    }
    std::function<void(MenuAction)> onAction;
    std::vector<Menu> menus;
};

struct FakeDialogs : Dialogs {
    void alert(const std::string& messageText, const std::string& informativeText) override {
        onMain();
        EXPECT_EQ(messageText, "Peltwick Importer");
        alerts.push_back(informativeText);
        if (whileAlertOpen) whileAlertOpen();
    }
    std::optional<std::string> prompt(const Prompt& prompt) override {
        onMain();
        prompts.push_back(prompt);
        EXPECT_FALSE(answers.empty()) << "unexpected prompt " << prompt.messageText;
        if (answers.empty()) return std::nullopt;
        auto answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::vector<std::string> alerts;
    std::vector<Prompt> prompts;
    std::deque<std::optional<std::string>> answers; // nullopt answers "Cancel"
    std::function<void()> whileAlertOpen;
};

struct FakeLoginItem : LoginItemService {
    Status status() override { return current; }
    std::optional<std::string> registerItem() override { return change(Status::enabled); }
    std::optional<std::string> unregisterItem() override { return change(Status::notRegistered); }
    std::optional<std::string> change(Status to) {
        ++changes;
        if (!failure) current = to;
        return failure;
    }
    Status current = Status::notRegistered;
    int changes = 0;
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
        for (const auto end = now + by;;) {
            const auto next =
                std::min_element(live.begin(), live.end(), [](auto a, auto b) { return a->due < b->due; });
            if (next == live.end() || (*next)->due > end) return void(now = end);
            Entry* entry = *next;
            now = entry->due;
            entry->due = entry->repeats ? entry->due + entry->interval : std::chrono::milliseconds::max();
            entry->tick();
        }
    }
    std::chrono::milliseconds hourly() const { // the repeating timer's interval; zero when there is none
        const auto found = std::find_if(live.begin(), live.end(), [](const Entry* e) { return e->repeats; });
        return found == live.end() ? std::chrono::milliseconds{} : (*found)->interval;
    }
    std::chrono::milliseconds now{0};
    std::vector<Entry*> live;
};

// Background work waits until the test runs it: its work on a thread of its own (so a
// main-thread-only call from it fails the test), its continuation on the test's thread.
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
    int runAll() { // the jobs the continuations queue too
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
        return last = report, std::nullopt;
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
    MemoryContactStore book; // each pass reads it through a store of its own
    int quits = 0;
    DAVClient::Timeouts timeouts{};
    std::unique_ptr<AppDelegate> app;

    AppHarness() { secItems.workerOnly = true; }
    // Launched, with the keyring's first answer in unless `settle` is false.
    AppDelegate& launch(bool settle = true) {
        struct Store : ContactStore {
            MemoryContactStore& book;
            explicit Store(MemoryContactStore& book) : book(book) {}
            bool requestAccess() override { return book.requestAccess(); }
            std::vector<Contact> contacts() override { return book.contacts(); }
        };
        auto makeStore = [this] { return std::unique_ptr<ContactStore>(new Store(book)); };
        app = std::make_unique<AppDelegate>(AppServices{settings, statusItem, dialogs, loginItem, timers, dispatcher,
                                                        dates, keychain, reports, makeStore, timeouts,
                                                        std::chrono::hours(1), [this] { ++quits; }});
        app->applicationDidFinishLaunching();
        if (settle) dispatcher.runAll();
        return *app;
    }
    AppDelegate& relaunch() { // a launch after the first: the first-run defaults are settled
        settings.bools[AppDelegate::loginItemDefaultedKey] = settings.bools[AppDelegate::autoSyncDefaultedKey] = true;
        return launch();
    }
    void store(const std::string& email, const std::string& password) { secItems.data = email + "\n" + password; }
    void choose(MenuAction action) {
        statusItem.onAction(action);
        dispatcher.runAll();
    }
};
