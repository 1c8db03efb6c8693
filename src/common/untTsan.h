// Hand-over points for ThreadSanitizer.
//
// Qt is not built with ThreadSanitizer, and Qt 6 orders its threads with
// futexes of its own (QMutex, QThread::wait, the posted-event queue), which
// ThreadSanitizer cannot see. Where our data passes from one thread to
// another only through such a Qt mechanism, the giving thread marks the
// point after its last write and the taking thread the point before its
// first read, so that the ordering Qt provides is known to ThreadSanitizer
// too. In every other build all of this compiles to nothing.
//
// Two forms:
//   TsanRelease/TsanAcquire on an address: a QThread's end (released at the
//     end of run() and once `finished` has been posted, acquired after
//     wait() and in `finished` handling);
//   TTsanHandOver, an atomic flag stored with release and loaded with
//     acquire order: an object handed to another thread through Qt's event
//     queue, which may move it on the way.
//
// A thread that has started a child with QProcess is lost to
// ThreadSanitizer: Qt starts children with clone(CLONE_VM), and the
// runtime's clone hook leaves that thread ignoring synchronisation for good.
// Tests start their servers with fork() (TSandboxServer.cpp) for this reason.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define ORVEXA_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ORVEXA_TSAN 1
#endif
#endif

#if defined(ORVEXA_TSAN)
#include <sanitizer/tsan_interface.h>

#include <atomic>
#endif

// Everything this thread did so far happens before whatever follows a
// TsanAcquire(addr) on another thread that is ordered after this call.
inline void TsanRelease(const void* addr)
{
#if defined(ORVEXA_TSAN)
    __tsan_release(const_cast<void*>(addr));
#else
    (void)addr;
#endif
}

// The counterpart of TsanRelease on the taking thread.
inline void TsanAcquire(const void* addr)
{
#if defined(ORVEXA_TSAN)
    __tsan_acquire(const_cast<void*>(addr));
#else
    (void)addr;
#endif
}

class TTsanHandOver {
public:
    // On the giving thread, after its last write that the taker reads.
    void Release()
    {
#if defined(ORVEXA_TSAN)
        FFlag.store(true, std::memory_order_release);
#endif
    }
    // On the taking thread, once Qt has ordered it after Release().
    void Acquire() const
    {
#if defined(ORVEXA_TSAN)
        (void)FFlag.load(std::memory_order_acquire);
#endif
    }

private:
#if defined(ORVEXA_TSAN)
    std::atomic<bool> FFlag{false};
#endif
};
