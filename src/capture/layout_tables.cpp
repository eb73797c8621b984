#include "capture/layout_tables.h"

#include <algorithm>
#include <cstring>

namespace {

// Bounds on what a layout's tables hold; real layouts stay far below them.
constexpr std::size_t kMaxModifierKeys = 32;
constexpr std::size_t kMaxCharacterTables = 16;
constexpr std::size_t kMaxKeyRows = 512;
constexpr std::size_t kMaxDeadKeys = 8192;
constexpr std::size_t kMaxLigatures = 1024;
constexpr unsigned kMaxModifications = 15;  // numbers have 4 bits, and 15 means none
constexpr unsigned kVkShift = 0x10, kVkControl = 0x11, kVkMenu = 0x12;

char16_t unitAt(const std::uint8_t* at) {
    char16_t unit;
    std::memcpy(&unit, at, sizeof unit);
    return unit;
}

bool isSpecial(char16_t unit) {
    return unit == kbd::kNone || unit == kbd::kDead || unit == kbd::kLigature;
}

// The characters of key in modification number column from the ligature
// table, up to its first kNone.
void readLigature(const kbd::Tables& tables, unsigned key, unsigned column, char16_t* units,
                  std::uint8_t& count) {
    const std::size_t rowSize = tables.ligatureRowSize;
    if (tables.ligatures == nullptr || rowSize < kbd::kLigatureCharactersOffset) return;
    const std::size_t length = std::min<std::size_t>(
        {tables.ligatureMax, (rowSize - kbd::kLigatureCharactersOffset) / sizeof(char16_t),
         static_cast<std::size_t>(TypedKey::kMaxUnits)});
    for (std::size_t i = 0; i < kMaxLigatures; ++i) {
        const std::uint8_t* row = tables.ligatures + i * rowSize;
        if (row[0] == 0) return;
        std::uint16_t number;
        std::memcpy(&number, row + kbd::kLigatureNumberOffset, sizeof number);
        if (row[0] != key || number != column) continue;
        for (std::size_t n = 0; n < length; ++n) {
            const char16_t unit = unitAt(row + kbd::kLigatureCharactersOffset + n * 2);
            if (unit == kbd::kNone) break;
            units[count++] = unit;
        }
        return;
    }
}

}  // namespace

std::unique_ptr<const LayoutTable> readLayoutTables(const kbd::Tables& tables) {
    if (tables.charModifiers == nullptr || tables.vkToWcharTables == nullptr) return nullptr;
    auto table = std::unique_ptr<LayoutTable>(new LayoutTable);
    table->altGr_ = (tables.localeFlags & kbd::kAltGrLayout) != 0;

    const kbd::Modifiers& modifiers = *tables.charModifiers;
    unsigned shift = kbd::kShift, control = kbd::kCtrl, alt = kbd::kAlt;
    for (std::size_t i = 0; modifiers.vkToBit != nullptr && i < kMaxModifierKeys; ++i) {
        const kbd::VkToBit& entry = modifiers.vkToBit[i];
        if (entry.vk == 0) break;
        if (entry.vk == kVkShift) shift = entry.modBits;
        if (entry.vk == kVkControl) control = entry.modBits;
        if (entry.vk == kVkMenu) alt = entry.modBits;
    }
    table->shiftBits_ = shift;
    table->altGrBits_ = control | alt;
    table->maxModBits_ = std::min<std::uint16_t>(modifiers.maxModBits, 255);
    const std::uint8_t* numbers =
        reinterpret_cast<const std::uint8_t*>(&modifiers) + kbd::kModNumberOffset;
    for (unsigned bits = 0; bits <= table->maxModBits_; ++bits) {
        table->modNumber_[bits] = numbers[bits];
    }

    table->rowOfKey_.fill(-1);
    for (std::size_t t = 0; t < kMaxCharacterTables; ++t) {
        const kbd::VkToWcharTable& characters = tables.vkToWcharTables[t];
        if (characters.rows == nullptr) break;
        const unsigned modifications = characters.modifications;
        const std::size_t rowSize = characters.rowSize;
        if (modifications == 0 || modifications > kMaxModifications ||
            rowSize < kbd::kRowCharactersOffset + modifications * sizeof(char16_t)) {
            continue;
        }
        auto cellsOf = [&](const std::uint8_t* row, const std::uint8_t* next) {
            for (unsigned column = 0; column < modifications; ++column) {
                LayoutTable::Cell cell;
                const char16_t unit = unitAt(row + kbd::kRowCharactersOffset + column * 2);
                if (unit == kbd::kDead) {
                    // The spacing accent stands in the row after, keyed 0xFF.
                    const char16_t accent =
                        next[0] == kbd::kDeadRowKey
                            ? unitAt(next + kbd::kRowCharactersOffset + column * 2)
                            : kbd::kNone;
                    if (!isSpecial(accent)) {
                        cell.dead = true;
                        cell.units[cell.count++] = accent;
                    }
                } else if (unit == kbd::kLigature) {
                    readLigature(tables, row[0], column, cell.units, cell.count);
                } else if (unit != kbd::kNone) {
                    cell.units[cell.count++] = unit;
                }
                table->cells_.push_back(cell);
            }
        };
        for (std::size_t r = 0; r < kMaxKeyRows; ++r) {
            const std::uint8_t* row = characters.rows + r * rowSize;
            const unsigned key = row[0];
            if (key == 0) break;
            // Rows keyed 0xFF belong to the key before; the first table that
            // has a key decides, as in Windows.
            if (key == kbd::kDeadRowKey || table->rowOfKey_[key] >= 0) continue;
            const std::uint8_t* next = row + rowSize;
            LayoutTable::Row entry;
            entry.attributes = row[1];
            entry.modifications = static_cast<std::uint8_t>(modifications);
            entry.firstCell = table->cells_.size();
            cellsOf(row, next);
            if ((entry.attributes & kbd::kCapsLockRow) != 0) {
                if (next[0] == kbd::kDeadRowKey) {
                    entry.firstCapsCell = table->cells_.size();
                    cellsOf(next, next + rowSize);
                } else {
                    entry.attributes &= static_cast<std::uint8_t>(~kbd::kCapsLockRow);
                }
            }
            table->rowOfKey_[key] = static_cast<std::int16_t>(table->rows_.size());
            table->rows_.push_back(entry);
        }
    }
    if (table->rows_.empty()) return nullptr;

    for (std::size_t i = 0; tables.deadKeys != nullptr && i < kMaxDeadKeys; ++i) {
        const kbd::DeadKey& dead = tables.deadKeys[i];
        if (dead.both == 0) break;
        table->compositions_.push_back(LayoutTable::Composed{
            dead.both, dead.composed, (dead.flags & kbd::kChainedDeadKey) != 0});
    }
    std::stable_sort(table->compositions_.begin(), table->compositions_.end(),
                     [](const LayoutTable::Composed& a, const LayoutTable::Composed& b) {
                         return a.both < b.both;
                     });
    return table;
}

TypedKey LayoutTable::type(unsigned vk, LayoutState state) const {
    TypedKey typed;
    if (vk >= rowOfKey_.size() || rowOfKey_[vk] < 0) return typed;
    const Row& row = rows_[static_cast<std::size_t>(rowOfKey_[vk])];
    unsigned bits = (state.shift ? shiftBits_ : 0) | (state.altGr ? altGrBits_ : 0);
    bool capsRow = false;
    if (state.capsLock) {
        const bool plain = (bits & ~shiftBits_) == 0;
        if ((row.attributes & kbd::kCapsLockRow) != 0 && plain) {
            capsRow = true;
        } else if ((row.attributes & kbd::kCapsLock) != 0 && plain) {
            bits ^= shiftBits_;
        } else if ((row.attributes & kbd::kCapsLockAltGr) != 0 && state.altGr) {
            bits ^= shiftBits_;
        }
    }
    if (bits > maxModBits_) return typed;
    const unsigned column = modNumber_[bits];
    if (column == kbd::kInvalidModification || column >= row.modifications) return typed;
    const Cell& cell = cells_[(capsRow ? row.firstCapsCell : row.firstCell) + column];
    if (cell.count == 0) return typed;
    typed.kind = cell.dead ? TypedKey::Kind::dead : TypedKey::Kind::text;
    typed.count = cell.count;
    std::copy(cell.units, cell.units + cell.count, typed.units);
    return typed;
}

Composition LayoutTable::compose(char16_t accent, char16_t base) const {
    const std::uint32_t both = static_cast<std::uint32_t>(accent) << 16 | base;
    auto found = std::lower_bound(
        compositions_.begin(), compositions_.end(), both,
        [](const Composed& entry, std::uint32_t value) { return entry.both < value; });
    if (found == compositions_.end() || found->both != both) return Composition{};
    return Composition{true, found->composed, found->dead};
}
