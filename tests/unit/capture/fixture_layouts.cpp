#include "fixture_layouts.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <stdexcept>

#include "common/utf8.h"

namespace capture_test {

namespace {

// The caps attributes as the fixtures name them.
constexpr unsigned CAPLOK = kbd::kCapsLock;
constexpr unsigned SGCAPS = kbd::kCapsLockRow;
constexpr unsigned CAPLOKALTGR = kbd::kCapsLockAltGr;

void readFixture(LayoutId id, bool& altGr, std::vector<FixtureKey>& keys,
                 std::vector<FixtureCompose>& compositions) {
#define CH(c) \
    FixtureCell { FixtureCell::character, static_cast<char16_t>(c) }
#define DEAD(c) \
    FixtureCell { FixtureCell::dead, static_cast<char16_t>(c) }
#define NONE \
    FixtureCell { FixtureCell::none, 0 }
#define LAYOUT(klid, hasAltGr) altGr = (hasAltGr) != 0;
#define KEY(vk, scan, caps, base, shift, ctrl, shiftCtrl, altGr, shiftAltGr) \
    keys.push_back(FixtureKey{vk, scan, caps, {base, shift, ctrl, shiftCtrl, altGr, shiftAltGr}});
#define COMPOSE(accent, base, composed) \
    compositions.push_back(FixtureCompose{accent, base, composed});
    switch (id) {
        case kGerman:
#include "../../fixtures/keyboard_layouts/de.inc"
            break;
        case kFrench:
#include "../../fixtures/keyboard_layouts/fr.inc"
            break;
        case kUnitedKingdom:
#include "../../fixtures/keyboard_layouts/gb.inc"
            break;
        case kUnitedStates:
#include "../../fixtures/keyboard_layouts/us.inc"
            break;
        default:
            throw std::invalid_argument("no fixture for this layout");
    }
#undef CH
#undef DEAD
#undef NONE
#undef LAYOUT
#undef KEY
#undef COMPOSE
    (void)SGCAPS;
}

// MODIFIERS with its modification numbers right after the WORD, as in kbd.h.
struct ModifiersBlock {
    const kbd::VkToBit* vkToBit;
    std::uint16_t maxModBits;
    std::uint8_t modNumber[14];
};
static_assert(offsetof(ModifiersBlock, modNumber) == kbd::kModNumberOffset, "kbd.h's layout");

constexpr std::size_t kColumns = 6;
constexpr std::size_t kRowSize = kbd::kRowCharactersOffset + kColumns * sizeof(char16_t);

void putUnit(std::vector<std::uint8_t>& row, std::size_t column, char16_t unit) {
    std::memcpy(row.data() + kbd::kRowCharactersOffset + column * 2, &unit, sizeof unit);
}

}  // namespace

FixtureLayout::FixtureLayout(LayoutId id) : id_(id) {
    readFixture(id, altGr_, keys_, compositions_);
    buildTables();
}

const FixtureKey* FixtureLayout::key(unsigned vk) const {
    for (const FixtureKey& key : keys_) {
        if (key.vk == vk) return &key;
    }
    return nullptr;
}

void FixtureLayout::buildTables() {
    vkToBits_ = {{0x10, kbd::kShift}, {0x11, kbd::kCtrl}, {0x12, kbd::kAlt}, {0, 0}};
    // Plain, Shift, Ctrl, Shift+Ctrl, and with AltGr layouts Ctrl+Alt and
    // Shift+Ctrl+Alt; Alt and Shift+Alt have no characters.
    ModifiersBlock block{vkToBits_.data(), 3, {0, 1, 2, 3}};
    if (altGr_) {
        block.maxModBits = 7;
        const std::uint8_t numbers[] = {
            0, 1, 2, 3, kbd::kInvalidModification, kbd::kInvalidModification, 4, 5};
        std::copy(std::begin(numbers), std::end(numbers), block.modNumber);
    }
    modifiers_.resize(sizeof block);
    std::memcpy(modifiers_.data(), &block, sizeof block);

    for (const FixtureKey& key : keys_) {
        std::vector<std::uint8_t> row(kRowSize), deadRow(kRowSize);
        row[0] = static_cast<std::uint8_t>(key.vk);
        row[1] = static_cast<std::uint8_t>(key.caps);
        deadRow[0] = kbd::kDeadRowKey;
        bool dead = false;
        for (std::size_t column = 0; column < kColumns; ++column) {
            const FixtureCell& cell = key.cells[column];
            putUnit(deadRow, column, cell.kind == FixtureCell::dead ? cell.c : kbd::kNone);
            putUnit(row, column,
                    cell.kind == FixtureCell::character ? cell.c
                    : cell.kind == FixtureCell::dead    ? kbd::kDead
                                                        : kbd::kNone);
            dead = dead || cell.kind == FixtureCell::dead;
        }
        rows_.insert(rows_.end(), row.begin(), row.end());
        if (dead) rows_.insert(rows_.end(), deadRow.begin(), deadRow.end());
    }
    rows_.resize(rows_.size() + kRowSize);  // the closing row, key 0
    characterTables_ = {{rows_.data(), kColumns, kRowSize}, {nullptr, 0, 0}};

    for (const FixtureCompose& c : compositions_) {
        deadKeys_.push_back(
            kbd::DeadKey{static_cast<std::uint32_t>(c.accent) << 16 | c.base, c.composed, 0});
    }
    deadKeys_.push_back(kbd::DeadKey{0, 0, 0});

    tables_.charModifiers = reinterpret_cast<const kbd::Modifiers*>(modifiers_.data());
    tables_.vkToWcharTables = characterTables_.data();
    tables_.deadKeys = deadKeys_.data();
    tables_.localeFlags = 1u << 16 | (altGr_ ? kbd::kAltGrLayout : 0);
}

const FixtureLayout& fixtureLayout(LayoutId id) {
    static std::map<LayoutId, std::unique_ptr<FixtureLayout>> layouts;
    std::unique_ptr<FixtureLayout>& layout = layouts[id];
    if (!layout) layout = std::make_unique<FixtureLayout>(id);
    return *layout;
}

FixtureLayouts::FixtureLayouts() {
    for (LayoutId id : {kGerman, kFrench, kUnitedKingdom, kUnitedStates}) {
        tables_[id] = readLayoutTables(fixtureLayout(id).tables());
        if (!tables_[id]) throw std::logic_error("the fixture's tables do not read");
    }
}

TypedKey FixtureLayouts::type(LayoutId layout, unsigned vk, unsigned, LayoutState state) {
    ++typeCalls;
    typedWith.push_back(layout);
    auto found = tables_.find(layout);
    return found == tables_.end() ? TypedKey{} : found->second->type(vk, state);
}

Composition FixtureLayouts::compose(LayoutId layout, char16_t accent, char16_t base) {
    auto found = tables_.find(layout);
    return found == tables_.end() ? Composition{} : found->second->compose(accent, base);
}

bool FixtureLayouts::hasAltGr(LayoutId layout) {
    auto found = tables_.find(layout);
    return found != tables_.end() && found->second->hasAltGr();
}

char32_t FixtureLayouts::fromCodePage(LayoutId layout, bool ansi, unsigned char byte) {
    if (byte < 0x80) return byte;
    struct Entry {
        unsigned char byte;
        char32_t c;
    };
    static const Entry ansi1252[] = {
        {0x80, 0x20AC}, {0xA3, 0xA3}, {0xDF, 0xDF}, {0xE4, 0xE4}, {0xE9, 0xE9}};
    static const Entry oem850[] = {{0x81, 0xFC}, {0x82, 0xE9}, {0x84, 0xE4},
                                   {0x9C, 0xA3}, {0xE1, 0xDF}, {0xD5, 0x131}};
    static const Entry oem437[] = {{0x81, 0xFC}, {0x82, 0xE9}, {0x84, 0xE4},
                                   {0x9C, 0xA3}, {0xE1, 0xDF}, {0xD5, 0x2552}};
    const Entry* first = ansi1252;
    const Entry* last = std::end(ansi1252);
    if (!ansi && layout == kUnitedStates) {
        first = oem437;
        last = std::end(oem437);
    } else if (!ansi) {
        first = oem850;
        last = std::end(oem850);
    }
    for (const Entry* entry = first; entry != last; ++entry) {
        if (entry->byte == byte) return entry->c;
    }
    return kReplacementCharacter;
}

}  // namespace capture_test
