#include "codec/RowWorker.h"

#include <utility>

TRowWorker::TRowWorker() : Thread_([this] { Run(); }) {}

TRowWorker::~TRowWorker() {
    Cancel();
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        Quit_ = true;
    }
    Wake_.notify_one();
    Thread_.join();
}

void TRowWorker::Start(TJob job, void* context) {
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        Job_ = job;
        Context_ = context;
        Error_ = nullptr;
        State_.store(kPosted);
        ++Posts_;
    }
    Wake_.notify_one();
}

void TRowWorker::RunJob() noexcept {
    try {
        Job_(Context_);
    } catch (...) {
        Error_ = std::current_exception();
    }
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        State_.store(kDone);
    }
    Done_.notify_one();
}

void TRowWorker::WaitWhileRunning() noexcept {
    std::unique_lock<std::mutex> lock(Mutex_);
    Done_.wait(lock, [this] { return State_.load() != kRunning; });
}

void TRowWorker::Finish() {
    uint32_t posted = kPosted;
    if (State_.compare_exchange_strong(posted, kRunning)) {
        RunJob();
    } else {
        WaitWhileRunning();
    }
    if (Error_) std::rethrow_exception(std::exchange(Error_, nullptr));
}

void TRowWorker::Cancel() noexcept {
    uint32_t posted = kPosted;
    if (State_.compare_exchange_strong(posted, kDone)) return;
    WaitWhileRunning();
}

void TRowWorker::Run() {
    for (uint64_t seen = 0;;) {
        {
            std::unique_lock<std::mutex> lock(Mutex_);
            Wake_.wait(lock, [&] { return Quit_ || Posts_ != seen; });
            if (Quit_) return;
            seen = Posts_;
        }
        uint32_t posted = kPosted;
        if (State_.compare_exchange_strong(posted, kRunning)) RunJob();
    }
}
