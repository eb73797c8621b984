// vxdesktop: a small console program that drives the desktop the agent runs
// on, for end-to-end tests under Wine and for trying the agent by hand. One
// command per run (kUsage lists them); the result is the exit code (0
// success, 1 failure, 2 usage) and, for queries, one line or a few lines on
// standard output.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kAgentClass[] = "TesselHID";
const char kDialogTitle[] = "Vexmoor HID";
const char kDialogClass[] = "#32770";

const char kUsage[] =
    "usage: vxdesktop <command> [arguments]\n"
    "Drives the desktop of the agent (vxhid.exe) under Wine or Windows; run it with the\n"
    "agent's WINEPREFIX and DISPLAY. Exit code 0 success, 1 failure, 2 usage.\n"
    "\n"
    "  find-agent [ms]          wait for the agent's hidden window (class \"TesselHID\")\n"
    "  hotkey <id>              post WM_HOTKEY with that identifier to it (2 ends the agent,\n"
    "                           unless its scan dialog is open)\n"
    "  win-h                    press Win+H through SendInput: opens the scan dialog\n"
    "  type <text>              type ASCII text through SendInput (Shift as VK_LSHIFT)\n"
    "  scan <text>              type text and Enter in one burst, as a reader does\n"
    "  keys <key>...            press keys: enter tab escape backspace capslock space\n"
    "                           ctrl+<c> alt+<c>, or down:<vk> / up:<vk> (hex codes)\n"
    "  wait-dialog [ms]         wait for the scan dialog; print \"x y width height\"\n"
    "  wait-no-dialog [ms]      wait until no scan dialog is open\n"
    "  count-dialogs            print the number of open scan dialogs\n"
    "  click <id>               click the scan dialog's button with that identifier\n"
    "  close-dialog             send WM_CLOSE to the scan dialog (its close box)\n"
    "  foreground               print the foreground window's title\n"
    "  focus <title> [ms]       make the window with that title the foreground window\n"
    "  work-area                print the work area \"left top right bottom\"\n"
    "  window <title> <ms>      show a window of our own with that title for ms\n"
    "  resources <exe>          print the exe's icon, dialog, accelerators and version\n"
    "  version-info <exe>       print the exe's version texts as a file's properties\n"
    "                           show them, one \"Name=value\" a line\n"
    "  edit-text                print the text of the scan dialog's edit box\n"
    "  edit-text-unicode        print it read as Unicode: its UTF-16 code units in\n"
    "                           hex, blank-separated (empty line for an empty box)\n"
    "  packets <hex>...         send each UTF-16 code unit as a Unicode packet\n"
    "                           (SendInput with KEYEVENTF_UNICODE), down and up\n"
    "  tray-delete              remove the agent's tray icon (as a lost task bar does)\n"
    "  taskbar-created          broadcast \"TaskbarCreated\" (as a new task bar does)\n";

int usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

DWORD argumentMs(int argc, char** argv, int index, DWORD fallback) {
    return index < argc ? static_cast<DWORD>(std::strtoul(argv[index], nullptr, 10)) : fallback;
}

// Polls find until it gives a window or timeoutMs has passed.
template <typename Find>
HWND waitFor(Find find, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        HWND window = find();
        if (window != nullptr || GetTickCount() - start >= timeoutMs) return window;
        Sleep(50);
    }
}

HWND findAgent() { return FindWindowA(kAgentClass, nullptr); }
HWND findDialog() { return FindWindowA(kDialogClass, kDialogTitle); }

BOOL CALLBACK countDialog(HWND window, LPARAM count) {
    char title[80] = {};
    char className[32] = {};
    GetWindowTextA(window, title, sizeof title);
    GetClassNameA(window, className, sizeof className);
    if (std::strcmp(title, kDialogTitle) == 0 && std::strcmp(className, kDialogClass) == 0 &&
        IsWindowVisible(window)) {
        ++*reinterpret_cast<int*>(count);
    }
    return TRUE;
}

// ---- Keyboard ---------------------------------------------------------------

INPUT keyInput(WORD vk, bool up) {
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    input.ki.wScan = static_cast<WORD>(MapVirtualKeyA(vk, MAPVK_VK_TO_VSC));
    input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    return input;
}

// Sends the events one at a time with a short pause, so each reaches the hook
// and the focused window in order.
bool send(const std::vector<INPUT>& inputs) {
    for (INPUT input : inputs) {
        if (SendInput(1, &input, sizeof(INPUT)) != 1) return false;
        Sleep(10);
    }
    return true;
}

void press(std::vector<INPUT>& inputs, WORD vk) {
    inputs.push_back(keyInput(vk, false));
    inputs.push_back(keyInput(vk, true));
}

bool addCharacter(std::vector<INPUT>& inputs, char c) {
    SHORT scan = VkKeyScanA(c);
    if (scan == -1) return false;
    WORD vk = LOBYTE(scan);
    bool shift = (HIBYTE(scan) & 1) != 0;
    if (shift) inputs.push_back(keyInput(VK_LSHIFT, false));
    press(inputs, vk);
    if (shift) inputs.push_back(keyInput(VK_LSHIFT, true));
    return true;
}

bool addKey(std::vector<INPUT>& inputs, const std::string& key) {
    struct Named {
        const char* name;
        WORD vk;
    };
    static const Named named[] = {{"enter", VK_RETURN},     {"tab", VK_TAB},
                                  {"escape", VK_ESCAPE},    {"backspace", VK_BACK},
                                  {"capslock", VK_CAPITAL}, {"space", VK_SPACE},
                                  {"delete", VK_DELETE},    {"left", VK_LEFT}};
    for (const Named& n : named) {
        if (key == n.name) {
            press(inputs, n.vk);
            return true;
        }
    }
    auto modified = [&](const char* prefix, WORD modifier) {
        std::size_t length = std::strlen(prefix);
        if (key.size() != length + 1 || key.compare(0, length, prefix) != 0) return false;
        inputs.push_back(keyInput(modifier, false));
        bool ok = addCharacter(inputs, key[length]);
        inputs.push_back(keyInput(modifier, true));
        return ok;
    };
    if (modified("ctrl+", VK_LCONTROL) || modified("alt+", VK_LMENU)) return true;
    for (const char* prefix : {"down:", "up:"}) {
        std::size_t length = std::strlen(prefix);
        if (key.compare(0, length, prefix) == 0 && key.size() > length) {
            WORD vk = static_cast<WORD>(std::strtoul(key.c_str() + length, nullptr, 16));
            inputs.push_back(keyInput(vk, prefix[0] == 'u'));
            return true;
        }
    }
    return false;
}

// ---- A window of our own ----------------------------------------------------

LRESULT CALLBACK plainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int showWindow(const char* title, DWORD ms) {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = plainWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = "VxDesktopWindow";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(0, "VxDesktopWindow", title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40,
                                  40, 320, 120, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (window == nullptr) return 1;
    CreateWindowExA(0, "EDIT", "", WS_CHILD | WS_VISIBLE | WS_BORDER, 10, 10, 280, 24, window,
                    nullptr, windowClass.hInstance, nullptr);
    SetForegroundWindow(window);
    SetTimer(window, 1, ms, nullptr);
    std::printf("ready\n");
    std::fflush(stdout);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_TIMER && message.hwnd == window) {
            DestroyWindow(window);
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}

// ---- Resources ----------------------------------------------------------------

// Reads the resource templates the way the dialog manager and the loaders do.
class Reader {
public:
    Reader(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
    bool ok() const { return ok_; }
    std::size_t offset() const { return offset_; }
    void align4() { offset_ = (offset_ + 3) & ~static_cast<std::size_t>(3); }
    unsigned word() {
        if (offset_ + 2 > size_) return fail();
        unsigned value = data_[offset_] | data_[offset_ + 1] << 8;
        offset_ += 2;
        return value;
    }
    unsigned long dword() {
        unsigned long low = word();
        return low | static_cast<unsigned long>(word()) << 16;
    }
    int shortValue() { return static_cast<short>(word()); }
    std::string wideString() {
        std::string text;
        for (unsigned c = word(); ok_ && c != 0; c = word()) {
            text += c < 128 ? static_cast<char>(c) : '?';
        }
        return text;
    }
    // A name or an ordinal (0xFFFF followed by the number).
    std::string nameOrOrdinal() {
        if (offset_ + 2 <= size_ && data_[offset_] == 0xFF && data_[offset_ + 1] == 0xFF) {
            word();
            char text[16];
            std::snprintf(text, sizeof text, "#%u", word());
            return text;
        }
        return wideString();
    }
    void skip(std::size_t bytes) {
        if (offset_ + bytes > size_)
            fail();
        else
            offset_ += bytes;
    }

private:
    unsigned fail() {
        ok_ = false;
        offset_ = size_;
        return 0;
    }
    const unsigned char* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
    bool ok_ = true;
};

bool resourceBytes(HMODULE module, LPCSTR name, LPCSTR type, const unsigned char*& data,
                   std::size_t& size) {
    HRSRC found = FindResourceA(module, name, type);
    if (found == nullptr) return false;
    HGLOBAL loaded = LoadResource(module, found);
    if (loaded == nullptr) return false;
    data = static_cast<const unsigned char*>(LockResource(loaded));
    size = SizeofResource(module, found);
    return data != nullptr;
}

bool dumpDialog(HMODULE module) {
    const unsigned char* data;
    std::size_t size;
    if (!resourceBytes(module, MAKEINTRESOURCEA(102), MAKEINTRESOURCEA(5), data, size)) {
        return false;
    }
    Reader r(data, size);
    unsigned long style = r.dword();
    unsigned long exStyle = r.dword();
    unsigned items = r.word();
    int x = r.shortValue(), y = r.shortValue(), cx = r.shortValue(), cy = r.shortValue();
    std::string menu = r.nameOrOrdinal();
    std::string windowClass = r.nameOrOrdinal();
    std::string caption = r.wideString();
    std::string font;
    if (style & DS_SETFONT) {
        unsigned points = r.word();
        font = std::to_string(points) + "," + r.wideString();
    }
    std::printf(
        "dialog style=0x%08lx exstyle=0x%lx x=%d y=%d cx=%d cy=%d menu=%s class=%s "
        "caption=%s font=%s items=%u\n",
        style, exStyle, x, y, cx, cy, menu.c_str(), windowClass.c_str(), caption.c_str(),
        font.c_str(), items);
    for (unsigned i = 0; i < items && r.ok(); ++i) {
        r.align4();
        unsigned long itemStyle = r.dword();
        unsigned long itemExStyle = r.dword();
        int ix = r.shortValue(), iy = r.shortValue(), icx = r.shortValue(), icy = r.shortValue();
        int id = r.shortValue();
        std::string itemClass = r.nameOrOrdinal();
        std::string text = r.nameOrOrdinal();
        unsigned extra = r.word();
        r.skip(extra);
        std::printf(
            "item id=%d class=%s style=0x%08lx exstyle=0x%lx x=%d y=%d cx=%d cy=%d "
            "text=%s\n",
            id, itemClass.c_str(), itemStyle, itemExStyle, ix, iy, icx, icy, text.c_str());
    }
    return r.ok();
}

bool dumpAccelerators(HMODULE module) {
    const unsigned char* data;
    std::size_t size;
    if (!resourceBytes(module, "VEXMOORACCEL", MAKEINTRESOURCEA(9), data, size)) return false;
    Reader r(data, size);
    for (unsigned flags = 0; !(flags & 0x80) && r.offset() + 8 <= size;) {
        flags = r.word();
        unsigned key = r.word();
        unsigned command = r.word();
        r.word();
        std::printf("accel flags=0x%02x key=0x%02x command=%u\n", flags & 0x7F, key, command);
    }
    return true;
}

bool dumpIcon(HMODULE module) {
    const unsigned char* data;
    std::size_t size;
    if (!resourceBytes(module, MAKEINTRESOURCEA(101), MAKEINTRESOURCEA(14), data, size)) {
        return false;
    }
    Reader r(data, size);
    r.word();
    r.word();
    unsigned count = r.word();
    std::printf("icon group=101 images=%u\n", count);
    for (unsigned i = 0; i < count && r.ok(); ++i) {
        unsigned widthHeight = r.word();
        unsigned colours = r.word() & 0xFF;
        unsigned planes = r.word();
        unsigned bits = r.word();
        r.dword();
        unsigned id = r.word();
        std::printf("image width=%u height=%u colours=%u planes=%u bits=%u id=%u\n",
                    widthHeight & 0xFF, widthHeight >> 8, colours, planes, bits, id);
    }
    return r.ok() && LoadIconA(module, MAKEINTRESOURCEA(101)) != nullptr;
}

bool dumpVersion(HMODULE module) {
    const unsigned char* data;
    std::size_t size;
    if (!resourceBytes(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16), data, size)) {
        return false;
    }
    // VS_FIXEDFILEINFO starts with the signature 0xFEEF04BD on a 4-byte boundary.
    for (std::size_t i = 0; i + 52 <= size; i += 4) {
        unsigned long signature;
        std::memcpy(&signature, data + i, 4);
        if (signature != 0xFEEF04BD) continue;
        unsigned long ms, ls;
        std::memcpy(&ms, data + i + 8, 4);
        std::memcpy(&ls, data + i + 12, 4);
        std::printf("version %lu.%lu.%lu.%lu\n", ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF);
        return true;
    }
    return false;
}

int dumpResources(const char* path) {
    HMODULE module = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) return 1;
    bool ok = dumpIcon(module);
    ok = dumpDialog(module) && ok;
    ok = dumpAccelerators(module) && ok;
    ok = dumpVersion(module) && ok;
    FreeLibrary(module);
    return ok ? 0 : 1;
}

// The texts of the version resource's first translation, read through the
// version API as the shell's file properties read them.
int dumpVersionInfo(const char* path) {
    DWORD unused = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &unused);
    if (size == 0) return 1;
    std::vector<char> info(size);
    if (!GetFileVersionInfoA(path, 0, size, info.data())) return 1;
    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* translation = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(info.data(), "\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&translation), &length) ||
        length < sizeof(Translation)) {
        return 1;
    }
    const char* names[] = {"CompanyName",      "FileDescription", "FileVersion",   "InternalName",
                           "OriginalFilename", "ProductName",     "ProductVersion"};
    for (const char* name : names) {
        char query[64];
        std::snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\%s", translation->language,
                      translation->codePage, name);
        char* value = nullptr;
        UINT valueLength = 0;
        if (VerQueryValueA(info.data(), query, reinterpret_cast<void**>(&value), &valueLength) &&
            value != nullptr) {
            std::printf("%s=%s\n", name, value);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string command = argv[1];

    if (command == "find-agent") {
        HWND agent = waitFor(findAgent, argumentMs(argc, argv, 2, 0));
        if (agent == nullptr) return 1;
        std::printf("%p\n", static_cast<void*>(agent));
        return 0;
    }
    if (command == "hotkey" && argc == 3) {
        HWND agent = findAgent();
        if (agent == nullptr) return 1;
        WPARAM id = static_cast<WPARAM>(std::strtoul(argv[2], nullptr, 10));
        return PostMessageA(agent, WM_HOTKEY, id, 0) ? 0 : 1;
    }
    if (command == "win-h") {
        std::vector<INPUT> inputs;
        inputs.push_back(keyInput(VK_LWIN, false));
        press(inputs, 'H');
        inputs.push_back(keyInput(VK_LWIN, true));
        return send(inputs) ? 0 : 1;
    }
    if (command == "type" && argc == 3) {
        std::vector<INPUT> inputs;
        for (const char* c = argv[2]; *c != '\0'; ++c) {
            if (!addCharacter(inputs, *c)) return 2;
        }
        return send(inputs) ? 0 : 1;
    }
    if (command == "scan" && argc == 3) {
        std::vector<INPUT> inputs;
        for (const char* c = argv[2]; *c != '\0'; ++c) {
            if (!addCharacter(inputs, *c)) return 2;
        }
        press(inputs, VK_RETURN);
        return send(inputs) ? 0 : 1;
    }
    if (command == "keys" && argc >= 3) {
        std::vector<INPUT> inputs;
        for (int i = 2; i < argc; ++i) {
            if (!addKey(inputs, argv[i])) return 2;
        }
        return send(inputs) ? 0 : 1;
    }
    if (command == "wait-dialog") {
        HWND dialog = waitFor(findDialog, argumentMs(argc, argv, 2, 0));
        if (dialog == nullptr) return 1;
        RECT rect;
        GetWindowRect(dialog, &rect);
        std::printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left,
                    rect.bottom - rect.top);
        return 0;
    }
    if (command == "wait-no-dialog") {
        DWORD timeout = argumentMs(argc, argv, 2, 0);
        DWORD start = GetTickCount();
        while (findDialog() != nullptr) {
            if (GetTickCount() - start >= timeout) return 1;
            Sleep(50);
        }
        return 0;
    }
    if (command == "count-dialogs") {
        int count = 0;
        EnumWindows(countDialog, reinterpret_cast<LPARAM>(&count));
        std::printf("%d\n", count);
        return 0;
    }
    if (command == "click" && argc == 3) {
        HWND dialog = findDialog();
        if (dialog == nullptr) return 1;
        HWND button = GetDlgItem(dialog, std::atoi(argv[2]));
        if (button == nullptr) return 1;
        return PostMessageA(button, BM_CLICK, 0, 0) ? 0 : 1;
    }
    if (command == "close-dialog") {
        HWND dialog = findDialog();
        return dialog != nullptr && PostMessageA(dialog, WM_CLOSE, 0, 0) ? 0 : 1;
    }
    if (command == "foreground") {
        char title[256] = {};
        HWND foreground = GetForegroundWindow();
        if (foreground != nullptr) GetWindowTextA(foreground, title, sizeof title);
        std::printf("%s\n", title);
        return 0;
    }
    if (command == "focus" && argc >= 3) {
        const char* title = argv[2];
        const DWORD timeoutMs = argumentMs(argc, argv, 3, 0);
        HWND window = waitFor([title] { return FindWindowA(nullptr, title); }, timeoutMs);
        if (window == nullptr) return 1;
        // A window that has just appeared may not take the focus at once
        // (its X window is still being mapped): ask again until the time
        // is up.
        HWND focused = waitFor(
            [window]() -> HWND {
                SetForegroundWindow(window);
                return GetForegroundWindow() == window ? window : nullptr;
            },
            timeoutMs);
        return focused == window ? 0 : 1;
    }
    if (command == "work-area") {
        RECT area = {};
        SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
        std::printf("%ld %ld %ld %ld\n", area.left, area.top, area.right, area.bottom);
        return 0;
    }
    if (command == "edit-text") {
        HWND dialog = findDialog();
        HWND edit = dialog != nullptr ? GetDlgItem(dialog, 1000) : nullptr;
        if (edit == nullptr) return 1;
        char text[1024] = {};
        // WM_GETTEXT, which reaches a control of another process.
        SendMessageA(edit, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
        std::printf("%s\n", text);
        return 0;
    }
    if (command == "edit-text-unicode") {
        HWND dialog = findDialog();
        HWND edit = dialog != nullptr ? GetDlgItem(dialog, 1000) : nullptr;
        if (edit == nullptr) return 1;
        wchar_t text[1024] = {};
        const LRESULT length = SendMessageW(edit, WM_GETTEXT, sizeof text / sizeof text[0],
                                            reinterpret_cast<LPARAM>(text));
        for (LRESULT i = 0; i < length && i < 1023; ++i) {
            std::printf("%s%04x", i == 0 ? "" : " ", static_cast<unsigned>(text[i]));
        }
        std::printf("\n");
        return 0;
    }
    if (command == "packets" && argc >= 3) {
        std::vector<INPUT> inputs;
        for (int i = 2; i < argc; ++i) {
            const WORD unit = static_cast<WORD>(std::strtoul(argv[i], nullptr, 16));
            for (DWORD up : {DWORD{0}, DWORD{KEYEVENTF_KEYUP}}) {
                INPUT input = {};
                input.type = INPUT_KEYBOARD;
                input.ki.wScan = unit;
                input.ki.dwFlags = KEYEVENTF_UNICODE | up;
                inputs.push_back(input);
            }
        }
        return send(inputs) ? 0 : 1;
    }
    if (command == "tray-delete") {
        HWND agent = findAgent();
        if (agent == nullptr) return 1;
        NOTIFYICONDATAA icon = {};
        icon.cbSize = NOTIFYICONDATAA_V1_SIZE;
        icon.hWnd = agent;
        icon.uID = 100;
        return Shell_NotifyIconA(NIM_DELETE, &icon) ? 0 : 1;
    }
    if (command == "taskbar-created") {
        UINT message = RegisterWindowMessageA("TaskbarCreated");
        return message != 0 && PostMessageA(HWND_BROADCAST, message, 0, 0) ? 0 : 1;
    }
    if (command == "window" && argc == 4) return showWindow(argv[2], argumentMs(argc, argv, 3, 0));
    if (command == "resources" && argc == 3) return dumpResources(argv[2]);
    if (command == "version-info" && argc == 3) return dumpVersionInfo(argv[2]);
    return usage();
}
