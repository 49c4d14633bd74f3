#include "keyset.h"

#include "settings/syscharset.h"

#include <QHashFunctions>
#include <QString>

#include <cstring>

namespace varnholt {

namespace {

constexpr size_t kInitialSlots = 1024;

[[nodiscard]] inline bool isAscii(QByteArrayView bytes)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    unsigned char any = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i)
        any |= p[i];
    return any < 0x80;
}

} // namespace

KeySet::KeySet()
    : m_slots(kInitialSlots)
{
}

quint64 KeySet::hashOf(QByteArrayView key)
{
    return quint64(qHash(key, size_t(0x9E3779B97F4A7C15ull)));
}

void KeySet::reserve(qsizetype keys)
{
    size_t slotCount = m_slots.size();
    while (slotCount < size_t(keys) * 2)
        slotCount *= 2;
    if (slotCount > m_slots.size())
        rehash(slotCount);
}

size_t KeySet::find(QByteArrayView key, quint64 hash) const
{
    const size_t mask = m_slots.size() - 1;
    const auto shortHash = quint32(hash >> 32);
    size_t i = size_t(hash) & mask;
    while (true) {
        const Slot &slot = m_slots[i];
        if (!slot.used())
            return i;
        if (slot.hash == shortHash && slot.length == quint32(key.size())
            && (key.isEmpty()
                || std::memcmp(m_arena.constData() + (slot.place - 1), key.data(), size_t(key.size())) == 0))
            return i;
        i = (i + 1) & mask;
    }
}

bool KeySet::insert(QByteArrayView key)
{
    // Longer keys than a 32-bit length cannot come from a list cell.
    Q_ASSERT(key.size() < qsizetype(0xFFFFFFFFu));
    const quint64 hash = hashOf(key);
    size_t i = find(key, hash);
    if (m_slots[i].used())
        return false;
    if (size_t(m_count + 1) * 2 > m_slots.size()) {
        rehash(m_slots.size() * 2);
        i = find(key, hash);
    }
    Slot &slot = m_slots[i];
    slot.place = quint64(m_arena.size()) + 1;
    slot.hash = quint32(hash >> 32);
    slot.length = quint32(key.size());
    m_arena.append(key);
    ++m_count;
    return true;
}

bool KeySet::contains(QByteArrayView key) const
{
    return m_slots[find(key, hashOf(key))].used();
}

// The slots keep only half of each hash; the place in the table comes from
// the other half, so moving a key means hashing it again.
void KeySet::rehash(size_t slotCount)
{
    std::vector<Slot> old(slotCount);
    old.swap(m_slots);
    const size_t mask = m_slots.size() - 1;
    for (const Slot &slot : old) {
        if (!slot.used())
            continue;
        const quint64 hash = hashOf(QByteArrayView(m_arena.constData() + (slot.place - 1), slot.length));
        size_t i = size_t(hash) & mask;
        while (m_slots[i].used())
            i = (i + 1) & mask;
        m_slots[i] = slot;
    }
}

void asciiLowerInto(QByteArrayView bytes, QByteArray &out)
{
    out.resize(bytes.size());
    char *o = out.data();
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        o[i] = (c >= 'A' && c <= 'Z') ? char(c + ('a' - 'A')) : c;
    }
}

QByteArray asciiLower(QByteArrayView bytes)
{
    QByteArray out;
    asciiLowerInto(bytes, out);
    return out;
}

void caseFoldedKeyInto(QByteArrayView bytes, QByteArray &out)
{
    if (isAscii(bytes)) {
        asciiLowerInto(bytes, out);
        return;
    }
    const QString folded = SystemCharset::toUnicode(bytes).toCaseFolded();
    if (SystemCharset::isUtf8()) {
        // Lossless both ways, and an ASCII value folds to the same bytes as
        // above, so "K" (the Kelvin sign) and "k" meet.
        out = SystemCharset::fromUnicode(folded);
        return;
    }
    // An 8-bit charset may not hold every folded character: the folded
    // UTF-16 itself, after a byte no ASCII key starts with.
    out.resize(1 + folded.size() * 2);
    out[0] = char(0xFF);
    std::memcpy(out.data() + 1, folded.constData(), size_t(folded.size()) * 2);
}

} // namespace varnholt
