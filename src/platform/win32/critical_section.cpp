#include "platform/critical_section.h"

#include <windows.h>

#include <new>

static_assert(sizeof(CRITICAL_SECTION) <= 64, "storage too small for a critical section");

namespace {
CRITICAL_SECTION* sectionIn(unsigned char* storage) {
    return std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage));
}
}  // namespace

CriticalSection::CriticalSection() { InitializeCriticalSection(new (storage_) CRITICAL_SECTION); }

CriticalSection::~CriticalSection() { DeleteCriticalSection(sectionIn(storage_)); }

void CriticalSection::enter() { EnterCriticalSection(sectionIn(storage_)); }

void CriticalSection::leave() { LeaveCriticalSection(sectionIn(storage_)); }
