#pragma once

// Every desktop facility in memory, wired into one AppDelegate as main wires the real ones. The
// settings, the menu and the dialogs may only be used from the test's thread; the keyring only off it.

#include "core/AppDelegate.h"
#include "support/Fakes.h"

#include <algorithm>
#include <deque>

struct MemoryReports : SyncReportStore { // written on a worker the test has joined
    std::optional<std::string> write(const std::string& text) override { return last = text, std::nullopt; }
    std::string last;
};

struct AppHarness : SettingsStore, StatusItem, Dialogs, LoginItemService, TimerScheduler, Dispatcher, DateFormatter {
    using ms = std::chrono::milliseconds;
    using Job = std::function<void()>;
    static void onMain() {
        static const std::thread::id mainThread = std::this_thread::get_id();
        EXPECT_EQ(std::this_thread::get_id(), mainThread) << "a main-thread facility used off the main thread";
    }

    bool boolForKey(const std::string& key) override { return onMain(), strings[key] == "true"; }
    void setBool(const std::string& key, bool value) override { onMain(), strings[key] = value ? "true" : "false"; }
    std::optional<std::string> stringForKey(const std::string& key) override {
        return onMain(), strings.count(key) ? std::optional(strings[key]) : std::nullopt;
    }
    void setString(const std::string& key, const std::string& value) override { onMain(), strings[key] = value; }
    std::map<std::string, std::string> strings;

    void show(std::function<void(MenuAction)> handler) override { onAction = std::move(handler); }
    void setMenu(const Menu& menu) override { onMain(), menus.push_back(menu); }
    std::string shown() const { // "id:Title[-][x]^key|...": "-" disabled, "x" checked, the shortcut's key
        std::string all;
        for (const auto& i : menus.back())
            all += i.id + ":" + i.title + (i.enabled ? "" : "[-]") + (i.checked ? "[x]" : "") +
                   (i.keyEquivalent.empty() ? "" : "^" + i.keyEquivalent) + "|";
        return all;
    }
    bool shows(const std::string& text) const { return shown().find(text) != std::string::npos; }
    void click(const std::string& title) { // as a user can: only an enabled item
        for (const auto& i : menus.back())
            if (i.title == title && i.enabled) return onAction(i.action);
        ADD_FAILURE() << "no enabled " << title << " in " << shown();
    }
    void choose(const std::string& title) { click(title), runAll(); }
    std::function<void(MenuAction)> onAction;
    std::vector<Menu> menus;

    void alert(const std::string& messageText, const std::string& informativeText) override {
        onMain(), alerts.push_back(informativeText);
        EXPECT_EQ(messageText, "Peltwick Importer");
        if (whileAlertOpen) whileAlertOpen();
    }
    std::optional<std::string> prompt(const Prompt& prompt) override { // the answers in turn; nullopt is "Cancel"
        return onMain(), prompts.push_back(prompt), answers.at(prompts.size() - 1);
    }
    std::vector<std::string> alerts;
    std::vector<Prompt> prompts;
    std::vector<std::optional<std::string>> answers;
    std::function<void()> whileAlertOpen;

    Status status() override { return loginItem; }
    std::optional<std::string> registerItem() override { return toggled(Status::enabled); }
    std::optional<std::string> unregisterItem() override { return toggled(Status::notRegistered); }
    std::optional<std::string> toggled(Status to) {
        return loginFailure ? loginFailure : (loginItem = to, loginFailure);
    }
    Status loginItem = Status::notRegistered;
    std::optional<std::string> loginFailure;

    // Timers on a manual clock: advance() delivers every tick that falls due, in order.
    struct Entry : Timer {
        Entry(AppHarness& owner, ms first, ms every, Job tick) // `every` zero: once
            : owner(owner), every(every), due(owner.now + first), tick(std::move(tick)) {
            owner.timers.push_back(this);
        }
        ~Entry() override { std::erase(owner.timers, this); }
        AppHarness& owner;
        ms every, due;
        Job tick;
    };
    std::unique_ptr<Timer> scheduleRepeating(ms every, Job tick) override { return add(every, every, tick); }
    std::unique_ptr<Timer> scheduleOnce(ms delay, Job fire) override { return add(delay, ms{}, fire); }
    std::unique_ptr<Timer> add(ms first, ms every, Job tick) {
        return std::make_unique<Entry>(*this, first, every, tick);
    }
    void advance(ms by) {
        for (const auto end = now + by;;) {
            const auto next = std::ranges::min_element(timers, {}, &Entry::due);
            if (next == timers.end() || (*next)->due > end) return void(now = end);
            now = (*next)->due;
            (*next)->due = (*next)->every.count() ? now + (*next)->every : ms::max();
            (*next)->tick();
        }
    }
    ms now{0};
    std::vector<Entry*> timers;

    // Background work when the test runs it: on a thread of its own, its continuation on the test's.
    void runInBackground(Job work, Job then) override { jobs.emplace_back(std::move(work), std::move(then)); }
    int runAll(int most = 1000) { // and the jobs their continuations queue; how many ran
        int ran = 0;
        for (; ran < most && !jobs.empty(); ++ran) {
            auto [work, then] = std::move(jobs.front());
            jobs.pop_front();
            std::thread(work).join();
            then();
        }
        return ran;
    }
    std::deque<std::pair<Job, Job>> jobs;

    std::string shortDateTime(std::chrono::system_clock::time_point) override { return "12/6/26, 10:00 AM"; }
    MemoryReports reports;

    MemoryKeychain secItems;
    Keychain keychain{secItems};
    MemoryContactStore book; // each pass reads it through a store of its own
    std::function<std::unique_ptr<ContactStore>()> makeStore = [this] {
        struct Store : ContactStore {
            explicit Store(MemoryContactStore& book) : book(book) {}
            bool requestAccess() override { return book.requestAccess(); }
            std::vector<Contact> contacts() override { return book.contacts(); }
            MemoryContactStore& book;
        };
        return std::unique_ptr<ContactStore>(new Store(book));
    };
    std::unique_ptr<AppDelegate> app;

    AppHarness() { secItems.workerOnly = true; }
    void launch() { // with the keyring's first answer in
        AppServices services{*this, *this, *this, *this, *this, *this, *this, keychain, reports, makeStore};
        app = std::make_unique<AppDelegate>(std::move(services));
        app->applicationDidFinishLaunching();
        runAll();
    }
    void relaunch() { // a launch after the first: the first-run defaults are settled
        strings[AppDelegate::loginItemDefaultedKey] = strings[AppDelegate::autoSyncDefaultedKey] = "true";
        launch();
    }
    void store(const std::string& email, const std::string& password) { secItems.data = email + "\n" + password; }
};
