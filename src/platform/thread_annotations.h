// Clang's thread-safety analysis: which lock guards which field, and which
// functions need a lock held. Checked by the clang build with
// -Wthread-safety; every other compiler sees nothing.
#pragma once

#if defined(__clang__)
#define VXB_TSA(x) __attribute__((x))
#else
#define VXB_TSA(x)
#endif

#define CAPABILITY(name) VXB_TSA(capability(name))
#define SCOPED_CAPABILITY VXB_TSA(scoped_lockable)
#define GUARDED_BY(lock) VXB_TSA(guarded_by(lock))
#define PT_GUARDED_BY(lock) VXB_TSA(pt_guarded_by(lock))
#define REQUIRES(...) VXB_TSA(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) VXB_TSA(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) VXB_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VXB_TSA(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) VXB_TSA(try_acquire_capability(__VA_ARGS__))
#define RETURN_CAPABILITY(x) VXB_TSA(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS VXB_TSA(no_thread_safety_analysis)
