#pragma once
// A Windows keyboard layout's own tables, read into a table of ours. Every
// layout DLL (kbdgr.dll, kbdfr.dll, ...) exports KbdLayerDescriptor, which
// returns its KBDTABLES: the modifier combinations, the characters of each
// key per combination, the dead keys and their compositions. Reading them is
// stateless, unlike asking ToUnicodeEx, so it can be done once, away from the
// keyboard hook, and looked up in it. The structures below are those of
// Microsoft's published kbd.h, for a 64-bit process; the reader only follows
// them, bounded, and copies what it needs.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "capture/keyboard_layout.h"

namespace kbd {

// Modifier bits (KBDSHIFT, KBDCTRL, KBDALT) and their use.
constexpr unsigned kShift = 0x01;
constexpr unsigned kCtrl = 0x02;
constexpr unsigned kAlt = 0x04;
constexpr std::uint8_t kInvalidModification = 0x0F;  // SHFT_INVALID

// A key's attributes: Caps Lock acts as Shift for its plain and shifted
// characters (CAPLOK), has a row of its own for them (SGCAPS), acts as Shift
// for its AltGr characters (CAPLOKALTGR).
constexpr std::uint8_t kCapsLock = 0x01;
constexpr std::uint8_t kCapsLockRow = 0x02;
constexpr std::uint8_t kCapsLockAltGr = 0x04;

// Special characters of the key rows.
constexpr char16_t kNone = 0xF000;      // WCH_NONE
constexpr char16_t kDead = 0xF001;      // WCH_DEAD: the next row (key 0xFF) holds the accent
constexpr char16_t kLigature = 0xF002;  // WCH_LGTR: the ligature table holds the characters
constexpr std::uint8_t kDeadRowKey = 0xFF;

constexpr std::uint32_t kAltGrLayout = 0x0001;     // KLLF_ALTGR in the low word of fLocaleFlags
constexpr std::uint16_t kChainedDeadKey = 0x0001;  // DKF_DEAD

struct VkToBit {  // VK_TO_BIT
    std::uint8_t vk;
    std::uint8_t modBits;
};

// MODIFIERS: pVkToBit, wMaxModBits, then ModNumber[wMaxModBits + 1] bytes
// right after the WORD, which C++ cannot declare.
struct Modifiers {
    const VkToBit* vkToBit;
    std::uint16_t maxModBits;
};
constexpr std::size_t kModNumberOffset = sizeof(void*) + sizeof(std::uint16_t);

// VK_TO_WCHAR_TABLE: rows of rowSize bytes, each VK_TO_WCHARSn: the key,
// its attributes, then modifications characters; a row with key 0 ends it.
struct VkToWcharTable {
    const std::uint8_t* rows;
    std::uint8_t modifications;
    std::uint8_t rowSize;
};
constexpr std::size_t kRowCharactersOffset = 2;

struct DeadKey {  // DEADKEY; both is MAKELONG(base, accent); ends with both 0
    std::uint32_t both;
    char16_t composed;
    std::uint16_t flags;
};

// LIGATUREn rows of ligatureRowSize bytes: the key (a BYTE), the
// modification number (a WORD, so after a byte of padding), then up to
// ligatureMax characters; a row with key 0 ends them.
constexpr std::size_t kLigatureNumberOffset = 2;
constexpr std::size_t kLigatureCharactersOffset = 4;

struct Tables {  // KBDTABLES
    const Modifiers* charModifiers;
    const VkToWcharTable* vkToWcharTables;  // ends with a null rows pointer
    const DeadKey* deadKeys;
    const void* keyNames;
    const void* keyNamesExt;
    const void* keyNamesDead;
    const std::uint16_t* vscToVk;
    std::uint8_t maxVscToVk;
    const void* vscToVkE0;
    const void* vscToVkE1;
    std::uint32_t localeFlags;
    std::uint8_t ligatureMax;
    std::uint8_t ligatureRowSize;
    const std::uint8_t* ligatures;
    std::uint32_t type;
    std::uint32_t subType;
};

// The offsets above and the reader hold for a 64-bit process only, the one
// the agent is built as.
static_assert(sizeof(void*) == 8, "the layout tables are read as a 64-bit process has them");
static_assert(sizeof(Tables) == 104, "KBDTABLES of a 64-bit process");

}  // namespace kbd

// One layout's characters, as read from its tables; immutable once read, so
// it can be handed between threads by pointer.
class LayoutTable {
public:
    bool hasAltGr() const { return altGr_; }
    // As Windows types the key: the modification that Shift and AltGr select,
    // turned by Caps Lock where the key's attributes say so.
    TypedKey type(unsigned vk, LayoutState state) const;
    Composition compose(char16_t accent, char16_t base) const;

private:
    friend std::unique_ptr<const LayoutTable> readLayoutTables(const kbd::Tables& tables);
    // One key's characters in one modification: count 0 types nothing.
    struct Cell {
        std::uint8_t count = 0;
        bool dead = false;
        char16_t units[TypedKey::kMaxUnits] = {};
    };
    struct Row {
        std::uint8_t attributes = 0;
        std::uint8_t modifications = 0;
        std::size_t firstCell = 0;
        std::size_t firstCapsCell = 0;  // the SGCAPS row's cells; only with kCapsLockRow
    };
    struct Composed {
        std::uint32_t both;  // accent in the high word, base in the low, as the tables have it
        char16_t composed;
        bool dead;
    };

    bool altGr_ = false;
    // The modifier bits of Shift and of AltGr (Ctrl and Alt), from the
    // layout's own list; the modification number of each bit combination.
    unsigned shiftBits_ = kbd::kShift;
    unsigned altGrBits_ = kbd::kCtrl | kbd::kAlt;
    std::uint16_t maxModBits_ = 0;
    std::array<std::uint8_t, 256> modNumber_{};
    std::array<std::int16_t, 256> rowOfKey_{};  // -1: the key types nothing
    std::vector<Row> rows_;
    std::vector<Cell> cells_;
    std::vector<Composed> compositions_;  // sorted by both
};

// Reads tables into a LayoutTable; null when they make no sense (no
// modifiers, no key rows). Every list is read up to a bound, so a broken
// table cannot make the reader run on.
std::unique_ptr<const LayoutTable> readLayoutTables(const kbd::Tables& tables);
