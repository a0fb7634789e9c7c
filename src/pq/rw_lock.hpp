// A reader-writer lock that lets a waiting writer in ahead of new readers, so
// a steady stream of lookups cannot starve a reload or an insert. Meets the
// standard SharedMutex requirements (usable with std::shared_lock and
// std::unique_lock). Not recursive.
#pragma once

#include <pthread.h>

#include <cstdlib>

namespace ostrel_pq {

class RwLock {
public:
    RwLock() {
        pthread_rwlockattr_t attr;
        pthread_rwlockattr_init(&attr);
        pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
        if (pthread_rwlock_init(&lock_, &attr) != 0) std::abort();
        pthread_rwlockattr_destroy(&attr);
    }
    ~RwLock() { pthread_rwlock_destroy(&lock_); }
    RwLock(const RwLock&) = delete;
    RwLock& operator=(const RwLock&) = delete;

    // A failure here means the lock is corrupt or used recursively: an
    // internal fault, not an error value.
    void lock() {
        if (pthread_rwlock_wrlock(&lock_) != 0) std::abort();
    }
    bool try_lock() { return pthread_rwlock_trywrlock(&lock_) == 0; }
    void unlock() { pthread_rwlock_unlock(&lock_); }
    void lock_shared() {
        if (pthread_rwlock_rdlock(&lock_) != 0) std::abort();
    }
    bool try_lock_shared() { return pthread_rwlock_tryrdlock(&lock_) == 0; }
    void unlock_shared() { pthread_rwlock_unlock(&lock_); }

private:
    pthread_rwlock_t lock_;
};

}  // namespace ostrel_pq
