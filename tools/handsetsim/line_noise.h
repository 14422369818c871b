// Faults of a bad line: bytes that are lost on the way and bytes that arrive
// with one bit flipped, each at a fixed probability per byte and drawn from
// a seeded generator, so that a run with the same seed sees the same faults
// on the same byte stream. One LineNoise stands for one direction of one
// UART; it counts what it did.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>

#include "tools/handsetsim/handsetsim.h"

namespace handsetsim {

class LineNoise {
public:
    enum class Fate { Kept, Flipped, Dropped };

    // Probabilities per byte (0 ... 1); `stream` tells the generators of the
    // directions and UARTs apart.
    void Configure(double dropRate, double flipRate, uint64_t seed, uint64_t stream);
    // New probabilities; the generator goes on where it was.
    void SetRates(double dropRate, double flipRate);
    bool Active() const { return dropRate_ > 0 || flipRate_ > 0; }
    // What the line does to one byte; a flip changes *byte in place.
    Fate Pass(uint8_t* byte);
    const LineFaultCounts& Counts() const { return counts_; }

private:
    double Draw();

    std::mt19937_64 generator_;
    double dropRate_ = 0;
    double flipRate_ = 0;
    LineFaultCounts counts_;
};

}  // namespace handsetsim
