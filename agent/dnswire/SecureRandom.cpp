#include "dnswire/SecureRandom.h"

#include <QRandomGenerator>

quint32 SecureRandom::next32()
{
    if (left == 0) {
        QRandomGenerator::system()->fillRange(block.data(), static_cast<qsizetype>(block.size()));
        left = block.size();
    }
    const quint32 value = block[--left];
    // Used once: nothing left in memory tells a later value.
    block[left] = 0;
    return value;
}

quint32 SecureRandom::bounded(quint32 bound)
{
    if (bound <= 1)
        return 0;
    // Values at or above the largest multiple of `bound` would favour the
    // low results; they are drawn again (rarely more than once).
    const quint32 limit = quint32(0) - (quint32(0) - bound) % bound;
    for (;;) {
        const quint32 value = next32();
        if (limit == 0 || value < limit)
            return value % bound;
    }
}
