// The Win32 serial device on a real COM port: wine_jobs.sh lets COM5 lead
// to UART0 of a stand-in handset whose boot ROM answers each ping '?' with
// '!' and is silent otherwise. Reads must follow the time-out semantics of
// serial_device.h whatever the driver does with overlapped requests (under
// wine a "return at once" read with nothing queued never finished, and a
// read ended by its total time-out failed with ERROR_TIMEOUT).
#include "flashdll/os/serial_device.h"

#include <gtest/gtest.h>

#include <string>

#include "flashdll/os/clock.h"

namespace {

constexpr uint32_t kHandsetCom = 5;
constexpr uint32_t kReturnAtOnce = 0xFFFFFFFFu;
constexpr uint32_t kAnswerWaitMs = 5000;  // generous: the answers come within milliseconds

struct SerialDeviceWin32 : ::testing::Test {
    os::SerialDevice* device = nullptr;
    void SetUp() override {
        device = os::SerialOpen(kHandsetCom, true);
        ASSERT_NE(device, nullptr) << "COM5: error " << os::SerialLastError();
        ASSERT_TRUE(os::SerialSetState(device, 115200));
    }
    void TearDown() override { os::SerialClose(device); }

    void SetTimeouts(uint32_t interval, uint32_t totalMs) {
        ASSERT_TRUE(os::SerialSetTimeouts(device, {interval, 0, totalMs, 0, 0}));
    }
    void Ping(uint32_t count) {
        const std::string pings(count, '?');
        uint32_t written = 0;
        ASSERT_TRUE(os::SerialWrite(device, pings.data(), count, &written));
        ASSERT_EQ(written, count);
    }
    // One read of up to `length` bytes; the bytes it brought.
    std::string Read(uint32_t length) {
        std::string bytes(length, '\0');
        uint32_t got = 0;
        EXPECT_TRUE(os::SerialRead(device, &bytes[0], length, &got)) << "error " << os::SerialLastError();
        bytes.resize(got);
        return bytes;
    }
};

TEST_F(SerialDeviceWin32, ReadsReturnByTheirTimeoutsWithWhatHasArrived) {
    SetTimeouts(kReturnAtOnce, 0);
    EXPECT_EQ(Read(16), "") << "nothing queued: at once, no bytes";
    SetTimeouts(0, 300);
    EXPECT_EQ(Read(64), "") << "a total time-out with nothing arriving is a short read, not a failure";

    Ping(3);
    SetTimeouts(0, 1000);
    EXPECT_EQ(Read(64), "!!!") << "the answers as a short count at the time-out";

    Ping(5);
    SetTimeouts(kReturnAtOnce, 0);
    std::string answers;
    const uint32_t started = os::TickCountMs();
    while (answers.size() < 5 && os::TickCountMs() - started < kAnswerWaitMs) {
        answers += Read(64);
        os::SleepMs(1);
    }
    EXPECT_EQ(answers, "!!!!!") << "reads that return at once deliver what is queued";
    EXPECT_EQ(Read(64), "");
}

TEST_F(SerialDeviceWin32, TimeoutsReadBackAsSetAndAllZeroReadsReturnAtOnce) {
    SetTimeouts(0, 0);  // as given, a driver would wait for the full count without limit
    os::SerialTimeouts now = {};
    ASSERT_TRUE(os::SerialGetTimeouts(device, &now));
    EXPECT_EQ(now.readIntervalMs, kReturnAtOnce);
    EXPECT_EQ(Read(8), "");
    SetTimeouts(0, 250);
    ASSERT_TRUE(os::SerialGetTimeouts(device, &now));
    EXPECT_EQ(now.readIntervalMs, 0u);
    EXPECT_EQ(now.readTotalConstantMs, 250u);
}

}  // namespace
