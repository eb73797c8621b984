// The system's keyboard layouts, asked without ever changing a window's
// keyboard state: the keyboard hook runs on the scan dialog's own thread, and
// a call that remembered a dead key would break the edit box's composition.
// - The layout in force is the hook thread's own (GetKeyboardLayout(0)),
//   asked at every key, so an Alt+Shift switch applies from the next key.
// - A key is looked up in the layout's own tables (LayoutTable), read from
//   its DLL: a lookup that keeps and reads no state. ToUnicodeEx is not asked
//   where tables are read, not even with flag 4 (1607 on): that flag leaves
//   the thread's dead-key state as it is, but may still read it, so a key
//   typed after a dead key can come back composed with the accent the
//   dialog's TranslateMessage stored, and the agent would compose it again.
// - Under Wine, whatever version it reports, ToUnicodeEx keeps no dead-key
//   state (the X server composes before Windows code sees a key) and there
//   are no layout DLLs: there it is asked, with flag 4.
// - A layout whose tables cannot be read is typed by ToUnicodeEx with flag 4
//   from 1607 on, without dead-key compositions, and as on a US keyboard
//   before; the log says so once for the layout.
// Tables are read on a thread of their own, never in the hook: from the
// hook's install on for every layout the user has, later for one first seen
// in the hook. Each is immutable once read and published by pointer.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cwchar>
#include <mutex>
#include <string>
#include <thread>

#include "capture/key_translation.h"
#include "capture/keyboard_layout.h"
#include "capture/layout_tables.h"
#include "common/activity_log.h"
#include "common/text_format.h"
#include "common/utf8.h"

namespace {

// Layouts the agent keeps tables for; a user has a handful.
constexpr std::size_t kMaxLayouts = 32;
// Windows 10 1607, whose ToUnicodeEx leaves the keyboard state alone with flag 4.
constexpr DWORD kStatelessToUnicodeBuild = 14393;
constexpr UINT kKeepKeyboardState = 0x4;
// A key of a layout whose tables are still being read waits this long for
// them, far below the hook's time-out.
constexpr auto kTableWait = std::chrono::milliseconds(100);
constexpr std::size_t kMaxLayoutFileName = 64;
constexpr DWORD kMaxLayoutKeys = 2048;
const wchar_t kLayoutsKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Keyboard Layouts";
const char kTag[] = "KeyboardHook::layout";

enum class Reading { requested, done };

struct Slot {
    std::atomic<LayoutId> layout{0};
    std::atomic<const LayoutTable*> table{nullptr};
    std::atomic<Reading> reading{Reading::requested};
    // Without tables: whether the layout types anything with AltGr.
    std::atomic<bool> altGrGuess{false};
    // The hook's thread only: what the log was told about the layout.
    bool failureTold = false;
    bool waitTold = false;
};

// How keys are typed where a layout has no tables, and whether tables are
// read at all.
enum class System {
    wine,       // ToUnicodeEx keeps nothing; no layout DLLs, no tables
    stateless,  // 1607 on: ToUnicodeEx with flag 4 where a layout has no tables
    early,      // before 1607: the US translation where a layout has no tables
};

bool isWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Whether ToUnicodeEx can be asked in the hook without changing anything.
bool statelessToUnicode() {
    using RtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return false;
    auto getVersion = reinterpret_cast<RtlGetVersion>(
        reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlGetVersion")));
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (getVersion == nullptr || getVersion(&version) != 0) return false;
    return version.dwMajorVersion > 10 ||
           (version.dwMajorVersion == 10 && version.dwBuildNumber >= kStatelessToUnicodeBuild);
}

bool readRegistryText(HKEY key, const wchar_t* name, std::wstring& value) {
    wchar_t buffer[MAX_PATH] = {};
    DWORD type = 0;
    DWORD size = sizeof buffer - sizeof(wchar_t);  // room for the terminator
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return false;
    }
    value = buffer;
    return true;
}

// The registry's name of the layout behind an HKL: its high word is the
// layout's language (00000407 is German), a layout id (0xFnnn: the variant
// whose "Layout Id" is nnn) or an input method's whole HKL (0xEnnn).
std::wstring layoutName(LayoutId layout) {
    const DWORD value = static_cast<DWORD>(layout);
    const WORD device = HIWORD(value);
    wchar_t name[16] = {};
    if ((device & 0xF000) == 0xE000) {
        std::swprintf(name, 16, L"%08X", static_cast<unsigned>(value));
        return name;
    }
    if ((device & 0xF000) != 0xF000) {
        std::swprintf(name, 16, L"%08X", static_cast<unsigned>(device));
        return name;
    }
    HKEY layouts = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLayoutsKey, 0, KEY_READ, &layouts) != ERROR_SUCCESS) {
        return std::wstring();
    }
    std::wstring found;
    for (DWORD i = 0; i < kMaxLayoutKeys && found.empty(); ++i) {
        wchar_t child[16] = {};
        DWORD length = 16;
        const LONG listed =
            RegEnumKeyExW(layouts, i, child, &length, nullptr, nullptr, nullptr, nullptr);
        if (listed == ERROR_MORE_DATA) continue;  // a name longer than any layout's
        if (listed != ERROR_SUCCESS) break;
        HKEY key = nullptr;
        if (RegOpenKeyExW(layouts, child, 0, KEY_READ, &key) != ERROR_SUCCESS) continue;
        std::wstring id;
        if (readRegistryText(key, L"Layout Id", id) &&
            std::wcstoul(id.c_str(), nullptr, 16) == (device & 0x0FFFu)) {
            found = child;
        }
        RegCloseKey(key);
    }
    RegCloseKey(layouts);
    return found;
}

// The layout's DLL in the system folder, from the registry; empty when none.
// Only a plain file name is taken, so nothing is loaded from elsewhere.
std::wstring layoutFile(LayoutId layout) {
    const std::wstring name = layoutName(layout);
    if (name.empty()) return std::wstring();
    HKEY key = nullptr;
    const std::wstring path = std::wstring(kLayoutsKey) + L"\\" + name;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return std::wstring();
    }
    std::wstring file;
    const bool read = readRegistryText(key, L"Layout File", file);
    RegCloseKey(key);
    if (!read || file.empty() || file.size() > kMaxLayoutFileName) return std::wstring();
    for (wchar_t c : file) {
        const bool plain = (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') ||
                           (c >= L'0' && c <= L'9') || c == L'.' || c == L'_' || c == L'-';
        if (!plain) return std::wstring();
    }
    wchar_t system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    return std::wstring(system, length) + L"\\" + file;
}

// Reads the layout's tables from its DLL; null when it has none to read.
const LayoutTable* readTables(LayoutId layout) {
    const std::wstring file = layoutFile(layout);
    if (file.empty()) return nullptr;
    HMODULE dll = LoadLibraryExW(file.c_str(), nullptr, 0);
    if (dll == nullptr) return nullptr;
    using Descriptor = const kbd::Tables* (*)();
    auto descriptor = reinterpret_cast<Descriptor>(
        reinterpret_cast<void (*)()>(GetProcAddress(dll, "KbdLayerDescriptor")));
    const kbd::Tables* tables = descriptor != nullptr ? descriptor() : nullptr;
    // Copied out, so the DLL can go again.
    const LayoutTable* table = tables != nullptr ? readLayoutTables(*tables).release() : nullptr;
    FreeLibrary(dll);
    return table;
}

void setKeys(BYTE* keys, LayoutState state) {
    if (state.shift) keys[VK_SHIFT] = keys[VK_LSHIFT] = 0x80;
    if (state.capsLock) keys[VK_CAPITAL] = 0x01;
    if (state.altGr) {
        keys[VK_CONTROL] = keys[VK_LCONTROL] = 0x80;
        keys[VK_MENU] = keys[VK_RMENU] = 0x80;
    }
}

// ToUnicodeEx with flag 4: types the key and keeps nothing.
TypedKey typeStateless(LayoutId layout, unsigned vk, unsigned scan, LayoutState state) {
    BYTE keys[256] = {};
    setKeys(keys, state);
    wchar_t units[TypedKey::kMaxUnits] = {};
    const int count = ToUnicodeEx(vk, scan, keys, units, TypedKey::kMaxUnits, kKeepKeyboardState,
                                  reinterpret_cast<HKL>(layout));
    TypedKey typed;
    if (count < 0 && units[0] != 0) {
        typed.kind = TypedKey::Kind::dead;
        typed.count = 1;
        typed.units[0] = static_cast<char16_t>(units[0]);
    } else if (count > 0) {
        typed.kind = TypedKey::Kind::text;
        typed.count = count < TypedKey::kMaxUnits ? count : TypedKey::kMaxUnits;
        for (int i = 0; i < typed.count; ++i) typed.units[i] = static_cast<char16_t>(units[i]);
    }
    return typed;
}

// Whether a layout types anything with AltGr, for one without tables. Ctrl
// with Alt gives control characters on any layout (Ctrl+[ is ESC), which
// are no sign of AltGr.
bool guessAltGr(LayoutId layout) {
    LayoutState altGr;
    altGr.altGr = true;
    for (unsigned vk = 0x30; vk <= 0xE2; ++vk) {
        if (vk > 0x5A && vk < 0xBA) continue;  // the keys between letters and OEM keys
        const TypedKey typed =
            typeStateless(layout, vk, MapVirtualKeyW(vk, MAPVK_VK_TO_VSC), altGr);
        const char16_t first = typed.units[0];
        const bool control = first < 0x20 || (first >= 0x7F && first <= 0x9F);
        if (typed.kind != TypedKey::Kind::nothing && typed.count > 0 && !control) return true;
    }
    return false;
}

class SystemLayouts final : public KeyboardLayouts {
public:
    SystemLayouts()
        : system_(isWine()               ? System::wine
                  : statelessToUnicode() ? System::stateless
                                         : System::early) {
        HKL layouts[kMaxLayouts] = {};
        const int count = GetKeyboardLayoutList(static_cast<int>(kMaxLayouts), layouts);
        for (int i = 0; i < count; ++i) slot(reinterpret_cast<LayoutId>(layouts[i]));
        std::thread(&SystemLayouts::readRequested, this).detach();
    }

    LayoutId current() override { return reinterpret_cast<LayoutId>(GetKeyboardLayout(0)); }

    TypedKey type(LayoutId layout, unsigned vk, unsigned scan, LayoutState state) override {
        // A layout seen for the first time gets its tables read meanwhile.
        Slot* found = slot(layout);
        if (system_ == System::wine) return typeStateless(layout, vk, scan, state);
        if (found != nullptr) {
            if (const LayoutTable* table = waitForTable(*found)) return table->type(vk, state);
            tellNoTables(*found);
        }
        if (system_ == System::stateless) return typeStateless(layout, vk, scan, state);
        return typeAsUs(vk, state);
    }

    Composition compose(LayoutId layout, char16_t accent, char16_t base) override {
        const Slot* found = slot(layout);
        const LayoutTable* table = found != nullptr ? found->table.load() : nullptr;
        return table != nullptr ? table->compose(accent, base) : Composition{};
    }

    bool hasAltGr(LayoutId layout) override {
        Slot* found = slot(layout);
        if (found == nullptr) return false;
        // Asked before the key is typed: it waits for the tables as type does.
        const LayoutTable* table = system_ == System::wine ? nullptr : waitForTable(*found);
        return table != nullptr ? table->hasAltGr() : found->altGrGuess.load();
    }

    char32_t fromCodePage(LayoutId layout, bool ansi, unsigned char byte) override {
        UINT codePage = GetOEMCP();
        if (ansi) {
            // The ANSI code page of the layout's language.
            DWORD languagePage = 0;
            const LCID locale = MAKELCID(LOWORD(static_cast<DWORD>(layout)), SORT_DEFAULT);
            const bool known =
                GetLocaleInfoW(locale, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                               reinterpret_cast<LPWSTR>(&languagePage),
                               sizeof languagePage / sizeof(wchar_t)) != 0;
            codePage = known && languagePage != 0 ? languagePage : GetACP();
        }
        const char in = static_cast<char>(byte);
        wchar_t out[2] = {};
        if (MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, &in, 1, out, 2) != 1) {
            return kReplacementCharacter;
        }
        return out[0];
    }

private:
    // The slot of a layout, added (and its reading requested) when it is
    // new; null when all are taken.
    Slot* slot(LayoutId layout) {
        const std::size_t used = used_.load();
        for (std::size_t i = 0; i < used; ++i) {
            if (slots_[i].layout.load() == layout) return &slots_[i];
        }
        std::lock_guard<std::mutex> hold(mutex_);
        const std::size_t now = used_.load();
        for (std::size_t i = used; i < now; ++i) {
            if (slots_[i].layout.load() == layout) return &slots_[i];
        }
        if (now == kMaxLayouts || layout == 0) return nullptr;
        slots_[now].layout.store(layout);
        used_.store(now + 1);
        changed_.notify_all();
        return &slots_[now];
    }

    void readRequested() {
        std::unique_lock<std::mutex> hold(mutex_);
        for (std::size_t next = 0;; ++next) {
            changed_.wait(hold, [&] { return next < used_.load(); });
            Slot& slot = slots_[next];
            const LayoutId layout = slot.layout.load();
            hold.unlock();
            const LayoutTable* table = system_ == System::wine ? nullptr : readTables(layout);
            if (table == nullptr && system_ != System::early) {
                slot.altGrGuess.store(guessAltGr(layout));
            }
            slot.table.store(table);
            hold.lock();
            slot.reading.store(Reading::done);
            changed_.notify_all();
        }
    }

    const LayoutTable* waitForTable(Slot& slot) {
        if (slot.reading.load() != Reading::done) {
            std::unique_lock<std::mutex> hold(mutex_);
            changed_.wait_for(hold, kTableWait,
                              [&] { return slot.reading.load() == Reading::done; });
        }
        return slot.table.load();
    }

    // A layout typed without its tables is told once: after a failed read,
    // and while its tables are still being read.
    void tellNoTables(Slot& slot) {
        const bool read = slot.reading.load() == Reading::done;
        bool& told = read ? slot.failureTold : slot.waitTold;
        if (told) return;
        told = true;
        const char* how = system_ == System::stateless ? "typed without dead-key compositions"
                                                       : "typed as on a US keyboard";
        writeLog(kTag,
                 formatText(read ? "Keyboard layout %08X could not be read - its keys are %s"
                                 : "Keyboard layout %08X is still being read - its keys are %s",
                            static_cast<unsigned>(slot.layout.load()), how),
                 1);
    }

    static TypedKey typeAsUs(unsigned vk, LayoutState state) {
        KeyboardState keys;
        keys.shiftDown = state.shift;
        keys.capsLockOn = state.capsLock;
        const unsigned char c =
            translateKeyEvent(keys, KeyEventKind::press, vk,
                              static_cast<unsigned char>(MapVirtualKeyA(vk, MAPVK_VK_TO_CHAR)))
                .value_or(0);
        TypedKey typed;
        if (c == 0 || c > 126) return typed;  // the US translation types ASCII only
        typed.kind = TypedKey::Kind::text;
        typed.count = 1;
        typed.units[0] = c;
        return typed;
    }

    const System system_;
    Slot slots_[kMaxLayouts];
    std::atomic<std::size_t> used_{0};
    std::mutex mutex_;
    std::condition_variable changed_;
};

}  // namespace

KeyboardLayouts& systemKeyboardLayouts() {
    // Never destroyed: its reading thread runs until the process ends.
    static SystemLayouts* layouts = new SystemLayouts;
    return *layouts;
}
