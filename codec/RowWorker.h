// A helper thread that runs one job at a time for the thread that owns it,
// for work that overlaps with the owner's own (rows converted while the
// next rows are inflated).
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <thread>

class TRowWorker {
public:
    using TJob = void (*)(void* context);

    // Throws std::system_error when the system gives no thread.
    TRowWorker();
    // Waits for the job in hand, then ends the thread.
    ~TRowWorker();
    TRowWorker(const TRowWorker&) = delete;
    TRowWorker& operator=(const TRowWorker&) = delete;

    // Hands a job over; the previous one must have been finished.
    // Everything the owner wrote before is visible to the job.
    void Start(TJob job, void* context);
    // Waits for the job, after which everything it wrote is visible to
    // the owner; rethrows what the job threw.
    void Finish();
    // Waits for the job, leaving what it threw to Finish.
    void WaitIdle() noexcept;

private:
    void Run();

    TJob Job_ = nullptr;
    void* Context_ = nullptr;
    std::exception_ptr Error_;
    bool Quit_ = false;
    // Jobs handed over and jobs done; equal when the helper is idle.
    std::atomic<uint32_t> Started_{0}, Finished_{0};
    std::thread Thread_;
};
