// A helper thread that takes one job at a time off the thread that owns
// it, for work that overlaps with the owner's own (rows converted while
// the next rows are inflated). A job the helper has not begun when the
// owner comes for its result is run by the owner itself, so that a
// helper kept off the processor by other work never makes the owner wait
// longer than doing the job alone would.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>

class TRowWorker {
public:
    using TJob = void (*)(void* context);

    // Throws std::system_error when the system gives no thread.
    TRowWorker();
    // Lets a job in hand finish (or drops it, if not begun), then ends the thread.
    ~TRowWorker();
    TRowWorker(const TRowWorker&) = delete;
    TRowWorker& operator=(const TRowWorker&) = delete;

    // Hands a job over; the previous one must have been finished.
    // Everything the owner wrote before is visible to the job.
    void Start(TJob job, void* context);
    // Runs the job here if the helper has not begun it, else waits for it;
    // then everything it wrote is visible to the owner. Rethrows what the
    // job threw.
    void Finish();
    // Drops the job if not begun, else waits for it, keeping what it threw
    // to itself: afterwards nothing of the job runs any more.
    void Cancel() noexcept;
    // The helper is at the job: the owner would wait for it now.
    bool Busy() const { return State_.load() == kRunning; }

private:
    enum : uint32_t { kIdle, kPosted, kRunning, kDone };
    void Run();
    void RunJob() noexcept;
    void WaitWhileRunning() noexcept;

    TJob Job_ = nullptr;
    void* Context_ = nullptr;
    std::exception_ptr Error_;
    // The helper sleeps on Wake_ until Posts_ changes or Quit_ is set; the
    // owner sleeps on Done_ while the helper runs its job. Both changes are
    // made under Mutex_, so no wake-up is lost. State_ alone decides who
    // runs a posted job.
    std::mutex Mutex_;
    std::condition_variable Wake_, Done_;
    uint64_t Posts_ = 0;
    bool Quit_ = false;
    std::atomic<uint32_t> State_{kIdle};
    std::thread Thread_;
};
