#include "tools/handsetsim/line_noise.h"

#include <algorithm>

namespace handsetsim {

namespace {
constexpr int kMantissaBits = 53;  // a double's precision: draws are k / 2^53
constexpr uint32_t kBitsPerByte = 8;

double Clamp(double rate) {
    return std::min(std::max(rate, 0.0), 1.0);
}
}  // namespace

void LineNoise::Configure(double dropRate, double flipRate, uint64_t seed, uint64_t stream) {
    std::seed_seq sequence{static_cast<uint32_t>(seed), static_cast<uint32_t>(seed >> 32),
                           static_cast<uint32_t>(stream)};
    generator_.seed(sequence);
    SetRates(dropRate, flipRate);
    counts_ = LineFaultCounts{};
}

void LineNoise::SetRates(double dropRate, double flipRate) {
    dropRate_ = Clamp(dropRate);
    flipRate_ = Clamp(flipRate);
}

double LineNoise::Draw() {
    return static_cast<double>(generator_() >> (64 - kMantissaBits)) / (1ull << kMantissaBits);
}

LineNoise::Fate LineNoise::Pass(uint8_t* byte) {
    const double draw = Draw();
    if (draw < dropRate_) {
        ++counts_.dropped;
        return Fate::Dropped;
    }
    if (draw < dropRate_ + flipRate_) {
        *byte ^= static_cast<uint8_t>(1u << (generator_() % kBitsPerByte));
        ++counts_.flipped;
        return Fate::Flipped;
    }
    return Fate::Kept;
}

}  // namespace handsetsim
