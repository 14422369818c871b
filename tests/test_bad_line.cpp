// Flashing through a line that loses and flips bytes (the soak test, CTest
// label "soak"): whole jobs over two ports at 921,600 baud against the paced
// stand-in handset with seeded line faults, then a verify over a clean line.
// A job may end in an error as long as it says so; reporting SUCCESS over
// flash that differs from the image is the one outcome that must never
// happen. FLASHDLL_SOAK_KIB sets the image size (CI runs a short one,
// `make soak` 1 MiB). The image starts where the held-back word is kept and
// ends inside a sector, so the read-back of that sector's other bytes and the
// sector's rewrite go through the bad line too.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <string>

#include "support/job_fixture.h"

namespace {

using namespace testing_support;

constexpr uint32_t kDefaultSoakKiB = 256;
constexpr uint32_t kMaxSoakKiB = 1536;          // the stand-in's flash behind the image's start
constexpr uint32_t kHeldBackStart = 0x20040000;  // the held-back word's region starts here
constexpr uint32_t kShortOfSector = 3000;        // the image's last sector is not covered whole

uint32_t SoakBytes() {
    const char* text = std::getenv("FLASHDLL_SOAK_KIB");
    const long kib = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return (kib > 0 && kib <= kMaxSoakKiB ? static_cast<uint32_t>(kib) : kDefaultSoakKiB) * 1024;
}

struct LineCase {
    const char* name;
    double drop, flip;
    uint32_t seed;
};

void PrintTo(const LineCase& line, std::ostream* out) {
    *out << "drop=" << line.drop << " flip=" << line.flip << " seed=" << line.seed;
}

class BadLineTest : public FlashHandsetTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(BadLineTest, FlashEndsEqualToTheImageOrSaysItFailed) {
    const LineCase& line = GetParam();
    scenario.paceLine = true;
    scenario.faults.lineDrop = line.drop;
    scenario.faults.lineFlip = line.flip;
    scenario.faults.lineSeed = line.seed;
    WriteImage({{kHeldBackStart, RandomBytes(SoakBytes() - kShortOfSector, line.seed)}});
    Start(2, false);
    const std::string fast = " /maxspeed=921600,921600";
    const JobResult flash = Run("/mode=flash" + fast);
    const handsetsim::LineFaultCounts faults = handset->LineFaults();
    const bool equal = job.FlashHolds(image);

    handset->SetLineFaults(0, 0);
    handset->Reset();
    const JobResult verify = Run("/mode=verify" + fast);

    const std::string what = "dropped " + std::to_string(faults.dropped) + ", flipped " +
                             std::to_string(faults.flipped) + ", " +
                             std::to_string(handset->CountCommands("TXDT")) + " TXDT";
    ASSERT_FALSE(flash.code == SUCCESS && !equal) << "SUCCESS over wrong flash; " << what << "\n"
                                                  << flash.Transcript();
    EXPECT_EQ(verify.code, equal ? SUCCESS : ERR_VERIFY_DIFFERENCE) << what << "\n" << verify.Transcript();
    EXPECT_EQ(flash.code, SUCCESS) << what << "\n" << flash.Transcript();
    EXPECT_GT(faults.dropped + faults.flipped, 0u) << "a clean run proves nothing about a bad line";
}

INSTANTIATE_TEST_SUITE_P(Soak, BadLineTest,
                         ::testing::Values(LineCase{"Drop1", 1e-5, 0, 1}, LineCase{"Drop2", 1e-5, 0, 2},
                                           LineCase{"Drop3", 1e-5, 0, 3}, LineCase{"Flip1", 0, 5e-5, 1},
                                           LineCase{"Flip2", 0, 5e-5, 2}, LineCase{"Flip3", 0, 5e-5, 3},
                                           LineCase{"Both1", 1e-5, 5e-5, 1}, LineCase{"Both2", 1e-5, 5e-5, 2},
                                           LineCase{"Both3", 1e-5, 5e-5, 3}),
                         [](const ::testing::TestParamInfo<LineCase>& info) { return info.param.name; });

}  // namespace
