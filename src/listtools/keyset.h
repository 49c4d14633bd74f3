#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <vector>

// A set of byte strings for the list tools' look-ups: the keys live in one
// arena, the table is open addressing over their hashes, so a million keys
// cost their bytes plus about 32 bytes each and no allocation per key.
namespace varnholt {

class KeySet
{
public:
    KeySet();
    // Room for `keys` keys without growing (a list's row count: growing a
    // big table costs more than the look-ups).
    void reserve(qsizetype keys);

    // Adds `key`; false when it was there already.
    bool insert(QByteArrayView key);
    [[nodiscard]] bool contains(QByteArrayView key) const;
    [[nodiscard]] qsizetype size() const { return m_count; }

private:
    // 16 bytes: the key's place in the arena (plus one; 0 marks a free
    // slot), the low half of its hash and its length.
    struct Slot {
        quint64 place = 0;
        quint32 hash = 0;
        quint32 length = 0;
        [[nodiscard]] bool used() const { return place != 0; }
    };
    [[nodiscard]] static quint64 hashOf(QByteArrayView key);
    [[nodiscard]] size_t find(QByteArrayView key, quint64 hash) const;
    void rehash(size_t slotCount);

    std::vector<Slot> m_slots;
    QByteArray m_arena;
    qsizetype m_count = 0;
};

// Letters A-Z lowered, every other byte as it is: the comparison of the
// filter's "Is equal exactly" and of find and replace without "Case
// sensitive". Bytes of a multi-byte character are all >= 0x80 in UTF-8 and
// never change.
void asciiLowerInto(QByteArrayView bytes, QByteArray &out);
[[nodiscard]] QByteArray asciiLower(QByteArrayView bytes);

// A key under which values that differ only in letter case meet, for
// "Remove duplicates": ASCII letters lowered directly; a value with other
// bytes is decoded from the system charset, case-folded and written as
// UTF-8.
void caseFoldedKeyInto(QByteArrayView bytes, QByteArray &out);

} // namespace varnholt
