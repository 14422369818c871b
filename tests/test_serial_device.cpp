// The serial device layer on real pseudo-terminals: line settings, read
// time-outs, writes that outlast a full device, two writes in parallel.
#include <gtest/gtest.h>

#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "flashdll/os/serial_device.h"
#include "support/pty_pair.h"

namespace {

using testing_support::PatternBytes;
using testing_support::PtyPair;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kComA = 41;
constexpr uint32_t kComB = 42;
constexpr os::SerialTimeouts kReturnAtOnce = {0xFFFFFFFFu, 0, 0, 0, 0};

long MsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

os::SerialTimeouts ReadTotal(uint32_t ms) { return {0, 0, ms, 0, 0}; }

void SetComPath(uint32_t com, const std::string& path) {
    setenv(("FLASHDLL_COM" + std::to_string(com)).c_str(), path.c_str(), 1);
}

// Opens the slave of `pty` as COM `com` at 115200 baud.
os::SerialDevice* OpenOn(PtyPair& pty, uint32_t com) {
    SetComPath(com, pty.SlavePath());
    os::SerialDevice* device = os::SerialOpen(com, true);
    if (device != nullptr && !os::SerialSetState(device, 115200)) {
        os::SerialClose(device);
        return nullptr;
    }
    return device;
}

class SerialDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Ok());
        device = OpenOn(pty, kComA);
        ASSERT_NE(device, nullptr) << os::SerialLastError();
    }
    void TearDown() override { os::SerialClose(device); }

    std::vector<uint8_t> ReadWith(const os::SerialTimeouts& timeouts, uint32_t length) {
        EXPECT_TRUE(os::SerialSetTimeouts(device, timeouts));
        std::vector<uint8_t> data(length);
        uint32_t got = 0;
        EXPECT_TRUE(os::SerialRead(device, data.data(), length, &got));
        data.resize(got);
        return data;
    }

    PtyPair pty;
    os::SerialDevice* device = nullptr;
};

TEST(SerialDevicePathTest, EnvironmentOverridesDefaultDevice) {
    char path[64];
    unsetenv("FLASHDLL_COM7");
    os::SerialDevicePath(7, path, sizeof path);
    EXPECT_STREQ(path, "/dev/ttyS6");
    setenv("FLASHDLL_COM7", "/dev/pts/99", 1);
    os::SerialDevicePath(7, path, sizeof path);
    EXPECT_STREQ(path, "/dev/pts/99");
    // A path that does not fit is no path, rather than the name of another device.
    setenv("FLASHDLL_COM7", std::string(100, 'x').c_str(), 1);
    os::SerialDevicePath(7, path, sizeof path);
    EXPECT_STREQ(path, "");
    unsetenv("FLASHDLL_COM7");
}

TEST_F(SerialDeviceTest, LineIsRawEightBitsBothWays) {
    // Leave cooked settings behind, as an earlier user of the device might.
    termios cooked;
    ASSERT_EQ(tcgetattr(pty.SlaveFd(), &cooked), 0);
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    cooked.c_iflag |= ICRNL | IXON;
    cooked.c_oflag |= OPOST | ONLCR;
    ASSERT_EQ(tcsetattr(pty.SlaveFd(), TCSANOW, &cooked), 0);
    ASSERT_TRUE(os::SerialSetState(device, 115200));

    std::vector<uint8_t> all(256);
    for (size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<uint8_t>(i);
    }
    ASSERT_TRUE(pty.Send(all.data(), all.size()));
    EXPECT_EQ(ReadWith(ReadTotal(500), 256), all);

    uint32_t written = 0;
    ASSERT_TRUE(os::SerialWrite(device, all.data(), 256, &written));
    EXPECT_EQ(written, 256u);
    EXPECT_EQ(pty.Receive(256, 500), all) << "bytes mapped or echoed on the way";
    EXPECT_TRUE(pty.Receive(1, 50).empty()) << "echo of the bytes sent";
}

TEST_F(SerialDeviceTest, ReadEndsAtTheTotalTimeoutWithAShortCount) {
    ASSERT_TRUE(pty.Send("0123456789"));
    const auto start = Clock::now();
    const std::vector<uint8_t> data = ReadWith(ReadTotal(1000), 64);
    const long elapsed = MsSince(start);
    EXPECT_EQ(std::string(data.begin(), data.end()), "0123456789");
    EXPECT_GE(elapsed, 990);
    EXPECT_LT(elapsed, 3000);
}

TEST_F(SerialDeviceTest, ReadReturnsAsSoonAsTheCountHasArrived) {
    // Bytes trickling in during the wait are collected; the read ends at
    // the count, long before its time-out.
    std::thread peer([this] {
        for (const char* piece : {"ab", "cd", "ef"}) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            pty.Send(piece);
        }
    });
    const auto start = Clock::now();
    const std::vector<uint8_t> data = ReadWith(ReadTotal(5000), 6);
    const long elapsed = MsSince(start);
    peer.join();
    EXPECT_EQ(std::string(data.begin(), data.end()), "abcdef");
    EXPECT_LT(elapsed, 2500);
}

TEST_F(SerialDeviceTest, MultiplierLengthensTheWaitPerByte) {
    const auto start = Clock::now();
    EXPECT_TRUE(ReadWith({0, 20, 0, 0, 0}, 10).empty());
    EXPECT_GE(MsSince(start), 195);
}

TEST_F(SerialDeviceTest, PollingReadsDoNotWait) {
    auto start = Clock::now();
    EXPECT_TRUE(ReadWith(kReturnAtOnce, 64).empty());
    EXPECT_LT(MsSince(start), 500);

    ASSERT_TRUE(pty.Send("hello"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    start = Clock::now();
    const std::vector<uint8_t> data = ReadWith(kReturnAtOnce, 64);
    EXPECT_EQ(std::string(data.begin(), data.end()), "hello");
    EXPECT_LT(MsSince(start), 500);

    // No total at all is no licence to wait for the count without limit.
    start = Clock::now();
    EXPECT_TRUE(ReadWith({0, 0, 0, 0, 0}, 8).empty());
    EXPECT_LT(MsSince(start), 500);

    // The short variant waits its 2 ms, then gives up.
    start = Clock::now();
    EXPECT_TRUE(ReadWith(ReadTotal(2), 1).empty());
    const long elapsed = MsSince(start);
    EXPECT_GE(elapsed, 2);
    EXPECT_LT(elapsed, 500);
}

void OnSignal(int) {}

TEST_F(SerialDeviceTest, SignalsNeitherEndNorStretchTheWait) {
    struct sigaction action = {};
    struct sigaction previous = {};
    action.sa_handler = OnSignal;  // no SA_RESTART: poll() sees EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    const pthread_t reader = pthread_self();
    std::atomic<bool> stop{false};
    std::thread noise([&] {
        while (!stop) {
            pthread_kill(reader, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    std::thread peer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.Send("WXYZ");
    });
    const auto start = Clock::now();
    const std::vector<uint8_t> data = ReadWith(ReadTotal(300), 8);
    const long elapsed = MsSince(start);
    stop = true;
    noise.join();
    peer.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(std::string(data.begin(), data.end()), "WXYZ");
    EXPECT_GE(elapsed, 295);
    // Restarting the full wait after each signal would run far past 300 ms.
    EXPECT_LT(elapsed, 1500);
}

TEST_F(SerialDeviceTest, LargeWriteOutlastsASlowReader) {
    const std::vector<uint8_t> data = PatternBytes(256 * 1024, 1);
    std::vector<uint8_t> received;
    std::thread peer([&] {
        while (received.size() < data.size()) {
            const std::vector<uint8_t> piece = pty.Receive(2048, 2000);
            if (piece.empty()) {
                break;
            }
            received.insert(received.end(), piece.begin(), piece.end());
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    uint32_t written = 0;
    EXPECT_TRUE(os::SerialWrite(device, data.data(), static_cast<uint32_t>(data.size()), &written));
    peer.join();
    EXPECT_EQ(written, data.size());
    EXPECT_TRUE(received == data) << "received " << received.size() << " bytes";
}

TEST_F(SerialDeviceTest, HungUpDeviceFailsInsteadOfWaiting) {
    ASSERT_TRUE(pty.Send("xy"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pty.CloseMaster();
    os::SerialTimeouts timeouts = ReadTotal(2000);
    ASSERT_TRUE(os::SerialSetTimeouts(device, timeouts));
    uint8_t buffer[8];
    uint32_t got = 0;
    const auto start = Clock::now();
    EXPECT_FALSE(os::SerialRead(device, buffer, sizeof buffer, &got));
    EXPECT_LT(MsSince(start), 1000);
    uint32_t written = 0;
    EXPECT_FALSE(os::SerialWrite(device, "z", 1, &written));
    EXPECT_NE(os::SerialLastError(), 0u);
}

TEST_F(SerialDeviceTest, WriteBothKeepsBothPartsInFlight) {
    PtyPair other;
    ASSERT_TRUE(other.Ok());
    os::SerialDevice* second = OpenOn(other, kComB);
    ASSERT_NE(second, nullptr);
    // Far more than a terminal buffers: written one after the other, the
    // first part would stall until its reader starts, and that reader only
    // starts once the second part has arrived in full.
    const std::vector<uint8_t> part0 = PatternBytes(1024 * 1024, 2);
    const std::vector<uint8_t> part1 = PatternBytes(100 * 1024, 3);
    std::vector<uint8_t> got0;
    std::vector<uint8_t> got1;
    std::atomic<bool> secondComplete{false};
    std::atomic<bool> firstWaited{false};
    std::thread reader1([&] {
        got1 = other.Receive(part1.size(), 8000);
        secondComplete = got1.size() == part1.size();
    });
    std::thread reader0([&] {
        const auto start = Clock::now();
        while (!secondComplete && MsSince(start) < 2000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        firstWaited = secondComplete.load();
        got0 = pty.Receive(part0.size(), 5000);
    });
    EXPECT_TRUE(os::SerialWriteBoth(device, part0.data(), static_cast<uint32_t>(part0.size()), second,
                                    part1.data(), static_cast<uint32_t>(part1.size())));
    reader1.join();
    reader0.join();
    EXPECT_TRUE(firstWaited) << "the second part waited for the first";
    EXPECT_TRUE(got0 == part0);
    EXPECT_TRUE(got1 == part1);

    // Without a second device only the first part goes out.
    ASSERT_TRUE(os::SerialWriteBoth(device, "only", 4, nullptr, "none", 4));
    const std::vector<uint8_t> only = pty.Receive(8, 100);
    EXPECT_EQ(std::string(only.begin(), only.end()), "only");
    os::SerialClose(second);
}

}  // namespace
