// Hand-over points for ThreadSanitizer.
//
// Qt is not built with ThreadSanitizer, and Qt 6 orders its threads with
// futexes of its own (QMutex, QThread::wait, the posted-event queue), which
// ThreadSanitizer cannot see. Where our data passes from one thread to
// another only through such a Qt mechanism (a QThread's end and its wait()
// or `finished`, a queued invocation), the giving side calls TsanRelease and
// the taking side TsanAcquire on the same address, so that the ordering Qt
// provides is known to ThreadSanitizer too. Both are empty functions in
// every other build.
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
