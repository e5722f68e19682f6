// Lock rules the compiler checks: clang's thread-safety attributes.
//
// KW_GUARDED_BY(lock) on a member says which lock guards it; KW_REQUIRES on a
// function that its caller holds the lock, KW_EXCLUDES that it must not (the
// function takes it itself). Built with clang and -Wthread-safety, a read or
// write without the lock, or a lock taken twice, is a diagnostic. Other
// compilers see nothing: the attributes change no layout and no symbol.
//
// The mutex type must be declared a capability for the checks to bite; the
// stand-in KwLinuxMutex is. A host whose own KwLinuxMutex is not loses the
// checks, not the build.
#ifndef KW_THREAD_ANNOTATIONS_H
#define KW_THREAD_ANNOTATIONS_H

#if defined(__clang__)
#define KW_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KW_THREAD_ANNOTATION(x)
#endif

#define KW_CAPABILITY(x) KW_THREAD_ANNOTATION(capability(x))
#define KW_GUARDED_BY(x) KW_THREAD_ANNOTATION(guarded_by(x))
#define KW_PT_GUARDED_BY(x) KW_THREAD_ANNOTATION(pt_guarded_by(x))
#define KW_REQUIRES(...) KW_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define KW_EXCLUDES(...) KW_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define KW_ACQUIRE(...) KW_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define KW_RELEASE(...) KW_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define KW_SCOPED_CAPABILITY KW_THREAD_ANNOTATION(scoped_lockable)

#endif  // KW_THREAD_ANNOTATIONS_H
