// ThreadSafety: clang's thread-safety attributes and the small lock wrappers
// that carry them. libstdc++'s mutexes have no such attributes, so every lock
// of the server is one of these; a field shared between threads names its
// lock with GUARDED_BY, and a function that expects a lock held says so with
// REQUIRES. The clang build checks them (-Wthread-safety); other compilers
// see empty macros.
#pragma once

#include <mutex>

#if defined(__clang__)
#define STRMD_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define STRMD_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) STRMD_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY STRMD_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) STRMD_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) STRMD_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) STRMD_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) STRMD_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) STRMD_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) STRMD_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) STRMD_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) STRMD_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) STRMD_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) STRMD_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) STRMD_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS STRMD_THREAD_ANNOTATION(no_thread_safety_analysis)

// A plain mutex. lock/unlock keep the standard names so that std::lock_guard
// and std::condition_variable_any accept it.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }
  // Tells the analysis that the lock is held here, where a callee took it
  // and handed it over (HandOverLock). Checks nothing at run time.
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  std::mutex mutex_;
};

// A re-entrant mutex (the lists'). The analysis does not count re-entry: a
// function that takes it while its caller may hold it must not say
// EXCLUDES, and one scope must not take it twice.
class CAPABILITY("mutex") RecursiveMutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }
  void AssertHeld() const ASSERT_CAPABILITY(this) {}  // as Mutex's

 private:
  std::recursive_mutex mutex_;
};

// Holds the lock for its scope.
template <typename M>
class SCOPED_CAPABILITY LockGuard {
 public:
  explicit LockGuard(M& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~LockGuard() RELEASE() { mutex_.unlock(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  M& mutex_;
};
using MutexLock = LockGuard<Mutex>;
using RecursiveLock = LockGuard<RecursiveMutex>;

// A scoped lock that may be released and taken again within its scope, and
// that std::condition_variable_any can wait with.
template <typename M>
class SCOPED_CAPABILITY UniqueLock {
 public:
  explicit UniqueLock(M& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~UniqueLock() RELEASE() {
    if (owned_) mutex_.unlock();
  }
  UniqueLock(const UniqueLock&) = delete;
  UniqueLock& operator=(const UniqueLock&) = delete;

  void lock() ACQUIRE() {
    mutex_.lock();
    owned_ = true;
  }
  void unlock() RELEASE() {
    owned_ = false;
    mutex_.unlock();
  }

 private:
  M& mutex_;
  bool owned_ = true;
};

// A lock that one function takes and hands to its caller (it may be empty
// and be moved). The analysis follows no lock across functions, so this one
// carries no attributes: where the receiver touches what the lock guards it
// says so with the mutex's AssertHeld().
template <typename M>
class HandOverLock {
 public:
  HandOverLock() = default;
  explicit HandOverLock(M& mutex) NO_THREAD_SAFETY_ANALYSIS : mutex_(&mutex), owned_(true) { mutex.lock(); }
  ~HandOverLock() NO_THREAD_SAFETY_ANALYSIS {
    if (owned_) mutex_->unlock();
  }
  HandOverLock(const HandOverLock&) = delete;
  HandOverLock& operator=(const HandOverLock&) = delete;
  HandOverLock(HandOverLock&& other) noexcept : mutex_(other.mutex_), owned_(other.owned_) {
    other.mutex_ = nullptr;
    other.owned_ = false;
  }
  HandOverLock& operator=(HandOverLock&& other) noexcept NO_THREAD_SAFETY_ANALYSIS {
    if (this != &other) {
      if (owned_) mutex_->unlock();
      mutex_ = other.mutex_;
      owned_ = other.owned_;
      other.mutex_ = nullptr;
      other.owned_ = false;
    }
    return *this;
  }
  void unlock() NO_THREAD_SAFETY_ANALYSIS {
    if (owned_) mutex_->unlock();
    owned_ = false;
  }
  bool owns_lock() const { return owned_; }

 private:
  M* mutex_ = nullptr;
  bool owned_ = false;
};
