#pragma once
// A lock with the Win32 critical section's behaviour: recursive for the owning
// thread, initialised explicitly, never copied.
class CriticalSection {
public:
    CriticalSection();
    ~CriticalSection();
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void enter();
    void leave();

private:
    alignas(16) unsigned char storage_[64];
};

// Holds a critical section for one scope.
class CriticalSectionGuard {
public:
    explicit CriticalSectionGuard(CriticalSection& section) : section_(section) {
        section_.enter();
    }
    ~CriticalSectionGuard() { section_.leave(); }
    CriticalSectionGuard(const CriticalSectionGuard&) = delete;
    CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

private:
    CriticalSection& section_;
};
