// Lock contracts the compiler checks.
//
// With clang and -Wthread-safety, these attributes let the compiler prove
// that state marked GUARDED_BY(m) is only touched while `m` is held, that a
// function marked REQUIRES(m) is only called with `m` held, and that one
// marked EXCLUDES(m) (a function that takes `m` itself, or calls out to
// plugin code) is never called with it held. With other compilers they
// expand to nothing. Lock order is not checked here: ThreadSanitizer reports
// inversions at run time.
#pragma once

#if defined(__clang__)
#define HOLM_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define HOLM_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) HOLM_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY HOLM_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) HOLM_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) HOLM_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) HOLM_THREAD_ATTRIBUTE(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) HOLM_THREAD_ATTRIBUTE(acquired_after(__VA_ARGS__))
#define REQUIRES(...) HOLM_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) HOLM_THREAD_ATTRIBUTE(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) HOLM_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) HOLM_THREAD_ATTRIBUTE(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) HOLM_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) HOLM_THREAD_ATTRIBUTE(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) HOLM_THREAD_ATTRIBUTE(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) HOLM_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) HOLM_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) HOLM_THREAD_ATTRIBUTE(assert_capability(x))
#define RETURN_CAPABILITY(x) HOLM_THREAD_ATTRIBUTE(lock_returned(x))
// For the few functions whose locking the analysis cannot follow (a lock
// handed between threads, a condition wait through the native lock); each
// use says why in a comment.
#define NO_THREAD_SAFETY_ANALYSIS HOLM_THREAD_ATTRIBUTE(no_thread_safety_analysis)
