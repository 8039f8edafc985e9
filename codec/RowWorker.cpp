#include "codec/RowWorker.h"

#include <utility>

TRowWorker::TRowWorker() : Thread_([this] { Run(); }) {}

TRowWorker::~TRowWorker() {
    Cancel();
    Quit_ = true;
    Wakes_.fetch_add(1);
    Wakes_.notify_one();
    Thread_.join();
}

void TRowWorker::Start(TJob job, void* context) {
    Job_ = job;
    Context_ = context;
    Error_ = nullptr;
    State_.store(kPosted);
    Wakes_.fetch_add(1);
    Wakes_.notify_one();
}

void TRowWorker::RunJob() noexcept {
    try {
        Job_(Context_);
    } catch (...) {
        Error_ = std::current_exception();
    }
    State_.store(kDone);
    State_.notify_one();
}

void TRowWorker::Finish() {
    uint32_t posted = kPosted;
    if (State_.compare_exchange_strong(posted, kRunning)) {
        RunJob();
    } else {
        for (uint32_t s = State_.load(); s == kRunning; s = State_.load()) State_.wait(s);
    }
    if (Error_) std::rethrow_exception(std::exchange(Error_, nullptr));
}

void TRowWorker::Cancel() noexcept {
    uint32_t posted = kPosted;
    if (State_.compare_exchange_strong(posted, kDone)) return;
    for (uint32_t s = State_.load(); s == kRunning; s = State_.load()) State_.wait(s);
}

void TRowWorker::Run() {
    for (uint32_t seen = 0;;) {
        Wakes_.wait(seen);
        seen = Wakes_.load();
        if (Quit_) return;
        uint32_t posted = kPosted;
        if (State_.compare_exchange_strong(posted, kRunning)) RunJob();
    }
}
