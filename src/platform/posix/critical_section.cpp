#include "platform/critical_section.h"

#include <pthread.h>

#include <new>

static_assert(sizeof(pthread_mutex_t) <= 64, "storage too small for a mutex");

namespace {
pthread_mutex_t* mutexIn(unsigned char* storage) {
    return std::launder(reinterpret_cast<pthread_mutex_t*>(storage));
}
}  // namespace

CriticalSection::CriticalSection() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(new (storage_) pthread_mutex_t, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

CriticalSection::~CriticalSection() { pthread_mutex_destroy(mutexIn(storage_)); }

void CriticalSection::enter() { pthread_mutex_lock(mutexIn(storage_)); }

void CriticalSection::leave() { pthread_mutex_unlock(mutexIn(storage_)); }
