#include "codec/RowWorker.h"

#include <utility>

TRowWorker::TRowWorker() : Thread_([this] { Run(); }) {}

TRowWorker::~TRowWorker() {
    WaitIdle();
    Quit_ = true;
    Started_.fetch_add(1);
    Started_.notify_one();
    Thread_.join();
}

void TRowWorker::Start(TJob job, void* context) {
    Job_ = job;
    Context_ = context;
    Error_ = nullptr;
    Started_.fetch_add(1);
    Started_.notify_one();
}

void TRowWorker::WaitIdle() noexcept {
    const uint32_t target = Started_.load();
    for (uint32_t done = Finished_.load(); done != target; done = Finished_.load()) Finished_.wait(done);
}

void TRowWorker::Finish() {
    WaitIdle();
    if (Error_) std::rethrow_exception(std::exchange(Error_, nullptr));
}

void TRowWorker::Run() {
    for (uint32_t seen = 0;;) {
        Started_.wait(seen);
        seen = Started_.load();
        if (Quit_) return;
        try {
            Job_(Context_);
        } catch (...) {
            Error_ = std::current_exception();
        }
        Finished_.store(seen);
        Finished_.notify_one();
    }
}
