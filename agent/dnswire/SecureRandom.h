#pragma once

#include <QtGlobal>

#include <array>

// Unpredictable numbers for what an off-path attacker must not guess: the
// upstream message IDs and the choice of upstream socket. They come from the
// system's generator (the kernel's on Linux, the system's CSPRNG on
// Windows), fetched in blocks so that a query costs no system call.
class SecureRandom
{
public:
    quint32 next32();
    quint16 next16() { return static_cast<quint16>(next32() & 0xFFFF); }
    // Uniform in [0, bound) (bound > 0), without the bias of a plain modulo.
    quint32 bounded(quint32 bound);
    quint64 next64() { return (quint64(next32()) << 32) | next32(); }

private:
    std::array<quint32, 256> block{};
    size_t left = 0;
};
