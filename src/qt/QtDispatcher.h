#pragma once

#include "core/Desktop.h"

#include <atomic>

// Blocking work (network requests, reading the address book) on a thread of its own; the
// continuation is posted to the main thread's event loop.
class QtDispatcher : public Dispatcher {
public:
    void runInBackground(std::function<void()> work, std::function<void()> thenOnMain) override;

    // True while some work has not finished yet (main ends the process without waiting for it).
    bool busy() const { return running_->load() > 0; }

private:
    std::shared_ptr<std::atomic<int>> running_ = std::make_shared<std::atomic<int>>(0);
};
