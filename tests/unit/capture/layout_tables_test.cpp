#include "capture/layout_tables.h"

#include <gtest/gtest.h>

#include <cstring>

#include "fixture_layouts.h"

namespace {

using namespace capture_test;

std::u16string text(const TypedKey& key) {
    return std::u16string(key.units, key.units + key.count);
}

// What a fixture cell says the key types.
TypedKey expected(const FixtureCell& cell) {
    TypedKey key;
    if (cell.kind == FixtureCell::none) return key;
    key.kind = cell.kind == FixtureCell::dead ? TypedKey::Kind::dead : TypedKey::Kind::text;
    key.count = 1;
    key.units[0] = cell.c;
    return key;
}

// Every key of every layout in all eight states of Shift, Caps Lock and
// AltGr, against the published pages: Caps Lock acts as Shift where the
// key's attributes say so (CAPLOK for the plain and shifted columns,
// CAPLOKALTGR for the AltGr ones).
TEST(LayoutTables, ReadEveryKeyAsThePublishedLayoutTypesIt) {
    for (LayoutId id : {kGerman, kFrench, kUnitedKingdom, kUnitedStates}) {
        const FixtureLayout& layout = fixtureLayout(id);
        std::unique_ptr<const LayoutTable> table = readLayoutTables(layout.tables());
        ASSERT_NE(nullptr, table);
        EXPECT_EQ(layout.altGr(), table->hasAltGr());
        for (const FixtureKey& key : layout.keys()) {
            for (int s = 0; s < 8; ++s) {
                const LayoutState state{(s & 1) != 0, (s & 2) != 0, (s & 4) != 0};
                bool shift = state.shift;
                const unsigned capsBit = state.altGr ? kbd::kCapsLockAltGr : kbd::kCapsLock;
                if (state.capsLock && (key.caps & capsBit) != 0) shift = !shift;
                TypedKey want;
                if (!state.altGr || layout.altGr()) {
                    want = expected(key.cells[(state.altGr ? 4 : 0) + (shift ? 1 : 0)]);
                }
                const TypedKey got = table->type(key.vk, state);
                EXPECT_EQ(want.kind, got.kind)
                    << std::hex << id << " vk " << key.vk << " state " << s;
                EXPECT_EQ(text(want), text(got))
                    << std::hex << id << " vk " << key.vk << " state " << s;
            }
        }
        for (const FixtureCompose& c : layout.compositions()) {
            const Composition composed = table->compose(c.accent, c.base);
            EXPECT_TRUE(composed.found) << std::hex << c.accent << " " << c.base;
            EXPECT_EQ(c.composed, composed.composed);
            EXPECT_FALSE(composed.dead);
        }
        EXPECT_FALSE(table->compose(u'^', u'x').found);
        EXPECT_EQ(TypedKey::Kind::nothing, table->type(0x70, LayoutState{}).kind);  // F1
        EXPECT_EQ(TypedKey::Kind::nothing, table->type(0x400, LayoutState{}).kind);
    }
}

// The cases the layouts are known by, spelled out.
TEST(LayoutTables, CapsLockAndAltGrAsWindowsHasThem) {
    const struct {
        LayoutId layout;
        unsigned vk;
        LayoutState state;
        char16_t typed;  // 0: nothing
    } cases[] = {
        {kGerman, '1', {false, true, false}, u'!'},       // Caps Lock shifts the digits
        {kGerman, 0xDB, {false, true, false}, u'?'},      // and ß
        {kGerman, 0xDB, {true, false, true}, u'\u1E9E'},  // Shift+AltGr+ß: capital sharp s
        {kGerman, 'Q', {false, false, true}, u'@'},
        {kGerman, 'Q', {false, true, true}, u'@'},   // no CAPLOKALTGR: Caps Lock leaves it
        {kGerman, 'A', {false, false, true}, 0},     // AltGr+A types nothing
        {kFrench, '1', {false, true, false}, u'1'},  // Caps+& is 1
        {kFrench, '0', {false, false, true}, u'@'},
        {kUnitedKingdom, 'E', {false, true, true}, u'\u00C9'},  // Caps Lock with AltGr+E
        {kUnitedKingdom, '1', {false, true, false}, u'1'},
        {kUnitedStates, '1', {false, true, false}, u'1'},  // letters only
        {kUnitedStates, 'A', {true, true, false}, u'a'},
        {kUnitedStates, 'Q', {false, false, true}, 0},  // no AltGr on US
    };
    for (const auto& c : cases) {
        std::unique_ptr<const LayoutTable> table =
            readLayoutTables(fixtureLayout(c.layout).tables());
        const TypedKey got = table->type(c.vk, c.state);
        EXPECT_EQ(c.typed == 0 ? u"" : std::u16string(1, c.typed), text(got))
            << std::hex << c.layout << " vk " << c.vk;
    }
}

// A layout with what the four fixtures do not use: a key with a Caps Lock
// row of its own (SGCAPS, as Swiss layouts have), a ligature, a chained
// dead key, Shift on another modifier bit, and a key in a second table.
TEST(LayoutTables, CapsRowsLigaturesChainedDeadKeysAndSecondTables) {
    const kbd::VkToBit bits[] = {{0x10, 0x01}, {0x11, 0x02}, {0x12, 0x04}, {0, 0}};
    struct {
        const kbd::VkToBit* vkToBit;
        std::uint16_t maxModBits;
        std::uint8_t modNumber[2];
    } modifiers{bits, 1, {0, 1}};
    auto row = [](std::uint8_t vk, std::uint8_t attributes, char16_t a, char16_t b) {
        std::uint8_t bytes[6] = {vk, attributes};
        std::memcpy(bytes + 2, &a, 2);
        std::memcpy(bytes + 4, &b, 2);
        return std::vector<std::uint8_t>(bytes, bytes + 6);
    };
    std::vector<std::uint8_t> rows;
    for (const auto& r :
         {row(0xBA, kbd::kCapsLockRow, u'\u00FC', u'\u00E8'),  // ü è
          row(0xFF, 0, u'\u00DC', u'\u00C8'),                  // Ü È with Caps Lock
          row('L', 0, kbd::kLigature, kbd::kLigature), row(0xDD, 0, kbd::kDead, kbd::kNone),
          row(0xFF, 0, u'^', kbd::kNone), row(0, 0, 0, 0)}) {
        rows.insert(rows.end(), r.begin(), r.end());
    }
    std::vector<std::uint8_t> second = row('X', 0, u'x', u'X');
    second.resize(12);  // and the closing row
    const kbd::VkToWcharTable tables[] = {
        {rows.data(), 2, 6}, {second.data(), 2, 6}, {nullptr, 0, 0}};
    // LIGATURE3 rows: key, padding, the modification number as a WORD, then
    // the characters.
    std::uint8_t ligatures[3][10] = {{'L', 0, 0, 0}, {'L', 0, 1, 0}, {0}};
    const char16_t plain[] = {u'l', u'j', kbd::kNone};
    const char16_t shifted[] = {u'L', u'J', kbd::kNone};
    std::memcpy(ligatures[0] + 4, plain, sizeof plain);
    std::memcpy(ligatures[1] + 4, shifted, sizeof shifted);
    const kbd::DeadKey dead[] = {
        {static_cast<std::uint32_t>(u'^') << 16 | u'^', u'\u02C6', kbd::kChainedDeadKey},
        {0, 0, 0}};
    kbd::Tables layout{};
    layout.charModifiers = reinterpret_cast<const kbd::Modifiers*>(&modifiers);
    layout.vkToWcharTables = tables;
    layout.deadKeys = dead;
    layout.ligatureMax = 3;
    layout.ligatureRowSize = 10;
    layout.ligatures = &ligatures[0][0];

    std::unique_ptr<const LayoutTable> table = readLayoutTables(layout);
    ASSERT_NE(nullptr, table);
    EXPECT_FALSE(table->hasAltGr());
    EXPECT_EQ(u"\u00FC", text(table->type(0xBA, LayoutState{})));
    EXPECT_EQ(u"\u00DC", text(table->type(0xBA, LayoutState{false, true, false})));
    EXPECT_EQ(u"\u00C8", text(table->type(0xBA, LayoutState{true, true, false})));
    EXPECT_EQ(u"lj", text(table->type('L', LayoutState{})));
    EXPECT_EQ(u"LJ", text(table->type('L', LayoutState{true, false, false})));
    EXPECT_EQ(TypedKey::Kind::dead, table->type(0xDD, LayoutState{}).kind);
    EXPECT_EQ(u"X", text(table->type('X', LayoutState{true, false, false})));
    const Composition chained = table->compose(u'^', u'^');
    EXPECT_TRUE(chained.found && chained.dead);
    EXPECT_EQ(u'\u02C6', chained.composed);

    // Tables without modifiers or keys are none.
    kbd::Tables empty{};
    EXPECT_EQ(nullptr, readLayoutTables(empty));
    const kbd::VkToWcharTable none[] = {{nullptr, 0, 0}};
    empty.charModifiers = layout.charModifiers;
    empty.vkToWcharTables = none;
    EXPECT_EQ(nullptr, readLayoutTables(empty));
}

}  // namespace
