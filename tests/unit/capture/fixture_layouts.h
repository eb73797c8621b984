#pragma once
// Windows' German, French, UK and US layouts for the translation tests, from
// the published tables in tests/fixtures/keyboard_layouts. Each is laid out
// in memory as its layout DLL holds it (KBDTABLES) and read with the agent's
// own reader, so the tests go through the same code as the agent on Windows.
// FixtureLayouts is the seam: the layout in force is whatever the test says,
// and every question is counted.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "capture/keyboard_layout.h"
#include "capture/layout_tables.h"

namespace capture_test {

// The HKLs Windows gives these layouts.
constexpr LayoutId kGerman = 0x04070407;
constexpr LayoutId kFrench = 0x040C040C;
constexpr LayoutId kUnitedKingdom = 0x08090809;
constexpr LayoutId kUnitedStates = 0x04090409;

// One cell of a fixture row.
struct FixtureCell {
    enum Kind { none, character, dead } kind;
    char16_t c;
};

struct FixtureKey {
    unsigned vk;
    unsigned scan;
    unsigned caps;  // CAPLOK / CAPLOKALTGR bits
    // base, shift, ctrl, shift+ctrl, AltGr, shift+AltGr
    FixtureCell cells[6];
};

struct FixtureCompose {
    char16_t accent, base, composed;
};

// A fixture file's rows, and the same as KBDTABLES in memory.
class FixtureLayout {
public:
    explicit FixtureLayout(LayoutId id);
    FixtureLayout(const FixtureLayout&) = delete;
    FixtureLayout& operator=(const FixtureLayout&) = delete;

    LayoutId id() const { return id_; }
    bool altGr() const { return altGr_; }
    const std::vector<FixtureKey>& keys() const { return keys_; }
    const std::vector<FixtureCompose>& compositions() const { return compositions_; }
    const FixtureKey* key(unsigned vk) const;
    // KBDTABLES as the layout DLL would hold them.
    const kbd::Tables& tables() const { return tables_; }

private:
    void buildTables();

    LayoutId id_;
    bool altGr_ = false;
    std::vector<FixtureKey> keys_;
    std::vector<FixtureCompose> compositions_;
    // The memory the tables point into.
    std::vector<kbd::VkToBit> vkToBits_;
    std::vector<unsigned char> modifiers_;
    std::vector<std::uint8_t> rows_;
    std::vector<kbd::VkToWcharTable> characterTables_;
    std::vector<kbd::DeadKey> deadKeys_;
    kbd::Tables tables_{};
};

const FixtureLayout& fixtureLayout(LayoutId id);

// The layouts above through the agent's LayoutTable; an unknown id has none.
class FixtureLayouts final : public KeyboardLayouts {
public:
    FixtureLayouts();
    LayoutId current() override {
        ++currentCalls;
        return inForce;
    }
    TypedKey type(LayoutId layout, unsigned vk, unsigned scan, LayoutState state) override;
    Composition compose(LayoutId layout, char16_t accent, char16_t base) override;
    bool hasAltGr(LayoutId layout) override;
    // A few bytes of Windows-1252 (ANSI) and 850 (OEM) for these layouts,
    // 437 for US; U+FFFD for the rest.
    char32_t fromCodePage(LayoutId layout, bool ansi, unsigned char byte) override;

    LayoutId inForce = kUnitedStates;
    int currentCalls = 0;
    int typeCalls = 0;
    std::vector<LayoutId> typedWith;  // the layout of every type() call

private:
    std::map<LayoutId, std::unique_ptr<const LayoutTable>> tables_;
};

}  // namespace capture_test
