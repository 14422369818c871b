// The port operations of a session on pseudo-terminals: what they tell the
// host, what they keep in the port records, what reaches the far end.
#include <gtest/gtest.h>

#include <termios.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "flashdll/link/serial.h"
#include "flashdll/session.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"

namespace {

using testing_support::PatternBytes;
using testing_support::PtyPair;
using testing_support::RecordingHost;

// COM indexes 9 and 10: the devices of COM10 and COM11.
constexpr uint32_t kComIndex0 = 9;
constexpr uint32_t kComIndex1 = 10;

void SetDevice(uint32_t comIndex, const std::string& path) {
    setenv(("FLASHDLL_COM" + std::to_string(comIndex + 1)).c_str(), path.c_str(), 1);
}

bool SameTimeouts(const os::SerialTimeouts& a, const os::SerialTimeouts& b) {
    return a.readIntervalMs == b.readIntervalMs && a.readTotalMultiplierMs == b.readTotalMultiplierMs &&
           a.readTotalConstantMs == b.readTotalConstantMs &&
           a.writeTotalMultiplierMs == b.writeTotalMultiplierMs &&
           a.writeTotalConstantMs == b.writeTotalConstantMs;
}

class SerialLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty0.Ok() && pty1.Ok());
        BuildComNameTable();
        SetDevice(kComIndex0, pty0.SlavePath());
        SetDevice(kComIndex1, pty1.SlavePath());
        host.InstallCallbacks();
        session->host = &host.descriptor;
        session->options.debug = 1;
        session->options.com[0] = kComIndex0;
        session->options.com[1] = kComIndex1;
        session->portCount = 2;
        session->overlappedIo = 1;
    }
    void TearDown() override { ComCloseAll(session.get()); }

    void OpenBoth() {
        ASSERT_EQ(ComOpen(session.get(), 0, kComIndex0, 115200, 1000), 1) << host.Transcript();
        ASSERT_EQ(ComOpen(session.get(), 1, kComIndex1, 115200, 1000), 1) << host.Transcript();
        host.Clear();
    }

    os::SerialTimeouts DeviceTimeouts(uint32_t port) {
        os::SerialTimeouts timeouts = {};
        EXPECT_TRUE(os::SerialGetTimeouts(session->ports[port].handle, &timeouts));
        return timeouts;
    }

    std::string ReadText(uint32_t port, uint32_t length) {
        std::vector<char> buffer(length);
        uint32_t got = 0;
        EXPECT_EQ(ComRead(session.get(), port, buffer.data(), length, &got), 1);
        return std::string(buffer.data(), got);
    }

    PtyPair pty0;
    PtyPair pty1;
    RecordingHost host;
    std::unique_ptr<Session> session = std::make_unique<Session>();
};

TEST_F(SerialLinkTest, OpenSetsTheLineAndNamesTheTenthPortCom10) {
    ASSERT_EQ(ComOpen(session.get(), 0, kComIndex0, 230400, 1000), 1);
    const PortRecord& record = session->ports[0];
    EXPECT_NE(record.handle, nullptr);
    EXPECT_EQ(record.baudRate, 230400u);
    EXPECT_EQ(record.readTimeoutMs, 1000u);
    EXPECT_TRUE(SameTimeouts(DeviceTimeouts(0), {0, 0, 1000, 0, 0}));
    EXPECT_EQ(host.Messages(), std::vector<std::string>{"Opened COM10 at 230400 baud"});
    EXPECT_EQ(os::SerialLastError(), 0u);

    termios line;
    ASSERT_EQ(tcgetattr(pty0.SlaveFd(), &line), 0);
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B230400));

    ASSERT_TRUE(pty0.Send("ping"));
    EXPECT_EQ(ReadText(0, 4), "ping");

    host.Clear();
    ComClose(session.get(), 0);
    EXPECT_EQ(record.handle, nullptr);
    EXPECT_EQ(host.Messages(), std::vector<std::string>{"Closed COM10"});
    host.Clear();
    ComClose(session.get(), 0);
    EXPECT_TRUE(host.Messages().empty());
}

TEST_F(SerialLinkTest, OpenFailuresAreReportedWithTheSystemCode) {
    SetDevice(kComIndex0, "/nonexistent/tty");
    EXPECT_EQ(ComOpen(session.get(), 0, kComIndex0, 115200, 1000), 0);
    EXPECT_EQ(session->ports[0].handle, nullptr);
    EXPECT_EQ(host.Messages(2), std::vector<std::string>{"Error: Could not open COM10 at 115200 Baud (2)"});

    // A rate outside the five: the device stays open for ComClose.
    host.Clear();
    SetDevice(kComIndex0, pty0.SlavePath());
    EXPECT_EQ(ComOpen(session.get(), 0, kComIndex0, 9600, 1000), 0);
    EXPECT_NE(session->ports[0].handle, nullptr);
    EXPECT_EQ(host.Messages(), std::vector<std::string>{"Error: Could not set COM10 at 9600 Baud (22)"});
    EXPECT_EQ(host.Messages(1).size(), 1u);
    ComClose(session.get(), 0);
    EXPECT_EQ(session->ports[0].handle, nullptr);

    // A device without line settings.
    host.Clear();
    SetDevice(kComIndex0, "/dev/null");
    EXPECT_EQ(ComOpen(session.get(), 0, kComIndex0, 115200, 1000), 0);
    EXPECT_EQ(host.Messages(2), std::vector<std::string>{"Error: GetCommState FAILED (25)"});
    EXPECT_EQ(host.Messages(1), std::vector<std::string>{"Error: Could not set COM10 at 115200 Baud (25)"});
    EXPECT_NE(session->ports[0].handle, nullptr);
}

TEST_F(SerialLinkTest, ReopenAndCloseAllLeaveNoDeviceBehind) {
    OpenBoth();
    ASSERT_EQ(ComOpen(session.get(), 0, kComIndex0, 115200, 1000), 1);
    EXPECT_EQ(host.Messages(), (std::vector<std::string>{"Closed COM10", "Opened COM10 at 115200 baud"}));
    // The fresh device carries the time-out although the record already held it.
    EXPECT_TRUE(SameTimeouts(DeviceTimeouts(0), {0, 0, 1000, 0, 0}));

    host.Clear();
    ComCloseAll(session.get());
    EXPECT_EQ(session->ports[0].handle, nullptr);
    EXPECT_EQ(session->ports[1].handle, nullptr);
    EXPECT_EQ(host.Messages(), (std::vector<std::string>{"Closed COM10", "Closed COM11"}));
}

TEST_F(SerialLinkTest, SetBaudTakesOnlyThePcSpeeds) {
    OpenBoth();
    for (uint32_t baud : {57600u, 115200u, 230400u, 460800u, 921600u}) {
        EXPECT_NE(ComSetBaud(session.get(), 0, baud), 0) << baud;
        EXPECT_EQ(session->ports[0].baudRate, baud);
    }
    for (uint32_t baud : {9600u, 38400u}) {
        EXPECT_EQ(ComSetBaud(session.get(), 0, baud), 0) << baud;
        EXPECT_EQ(session->ports[0].baudRate, 921600u);
        termios line;
        ASSERT_EQ(tcgetattr(pty0.SlaveFd(), &line), 0);
        EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B921600));
    }
    EXPECT_TRUE(host.Messages().empty()) << host.Transcript();
}

TEST_F(SerialLinkTest, SetTimoutReturnsThePreviousValueAndSkipsRepeats) {
    OpenBoth();
    EXPECT_EQ(ComSetTimout(session.get(), 0, 500), 1000u);
    EXPECT_TRUE(SameTimeouts(DeviceTimeouts(0), {0, 0, 500, 0, 0}));
    // Mark the device: a repeated value must leave it untouched.
    const os::SerialTimeouts marker = {7, 7, 7, 7, 7};
    ASSERT_TRUE(os::SerialSetTimeouts(session->ports[0].handle, marker));
    EXPECT_EQ(ComSetTimout(session.get(), 0, 500), 500u);
    EXPECT_TRUE(SameTimeouts(DeviceTimeouts(0), marker));

    // A port that cannot take it still records the value.
    ComClose(session.get(), 1);
    host.Clear();
    EXPECT_EQ(ComSetTimout(session.get(), 1, 700), 1000u);
    EXPECT_EQ(session->ports[1].readTimeoutMs, 700u);
    EXPECT_EQ(host.Messages(2), std::vector<std::string>{"Error: ComSetTimout FAILED (700, 9)"});
}

TEST_F(SerialLinkTest, PollingModeRestoresTheTimeoutsOfTheFirstOn) {
    OpenBoth();
    ComSetTimout(session.get(), 0, 300);
    ComPolling(session.get(), 0, 1);
    EXPECT_TRUE(SameTimeouts(DeviceTimeouts(0), {0xFFFFFFFFu, 0, 0, 0, 0}));
    ComPolling(session.get(), 0, 1);
    ComPolling(session.get(), 0, 0);
    EXPECT_TRUE(SameTimeouts(DeviceTimeouts(0), {0, 0, 300, 0, 0}));
    EXPECT_EQ(session->ports[0].readTimeoutMs, 300u);

    // Off while not polling changes nothing.
    const os::SerialTimeouts marker = {1, 2, 3, 4, 5};
    ASSERT_TRUE(os::SerialSetTimeouts(session->ports[0].handle, marker));
    ComPolling(session.get(), 0, 0);
    EXPECT_TRUE(SameTimeouts(DeviceTimeouts(0), marker));

    session->options.pollingvariant = 1;
    ComPolling(session.get(), 1, 1);
    EXPECT_TRUE(SameTimeouts(DeviceTimeouts(1), {0, 0, 2, 0, 0}));
    ComPolling(session.get(), 1, 0);
    EXPECT_TRUE(SameTimeouts(DeviceTimeouts(1), {0, 0, 1000, 0, 0}));
}

TEST_F(SerialLinkTest, WritesDeliverEveryByteInBothModes) {
    OpenBoth();
    for (uint32_t overlapped : {0u, 1u}) {
        session->overlappedIo = overlapped;
        const std::vector<uint8_t> data = PatternBytes(10000, overlapped);
        std::vector<uint8_t> received;
        std::thread reader([&] { received = pty0.Receive(10000, 2000); });
        uint32_t written = 0;
        EXPECT_EQ(ComWrite(session.get(), 0, data.data(), 10000, &written), 1);
        reader.join();
        EXPECT_EQ(written, 10000u);
        EXPECT_TRUE(received == data) << "overlapped " << overlapped;

        written = 99;
        EXPECT_EQ(ComWrite(session.get(), 0, data.data(), 0, &written), 1);
        EXPECT_EQ(written, 0u);
    }
}

TEST_F(SerialLinkTest, FlushDiscardsPendingInput) {
    OpenBoth();
    ASSERT_TRUE(pty0.Send(std::string(300, 'j')));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let it reach the device
    ComPolling(session.get(), 0, 1);
    ComFlush(session.get(), 0);
    ComPolling(session.get(), 0, 0);
    ASSERT_TRUE(pty0.Send("AB"));
    EXPECT_EQ(ReadText(0, 2), "AB");

    // An abort ends a flush that would otherwise go on.
    ASSERT_TRUE(pty1.Send(std::string(50, 'k')));
    ComSetTimout(session.get(), 1, 100);
    session->run.abortFlag = 1;
    ComFlush(session.get(), 1);
    EXPECT_EQ(ReadText(1, 100).size(), 49u);
}

TEST_F(SerialLinkTest, DataPartsGoToTheirOwnPorts) {
    OpenBoth();
    const std::vector<uint8_t> part0 = PatternBytes(30000, 5);
    const std::vector<uint8_t> part1 = PatternBytes(20000, 6);
    std::vector<uint8_t> got0;
    std::vector<uint8_t> got1;
    // Both parts exceed what a terminal buffers: each needs its reader.
    std::thread reader0([&] { got0 = pty0.Receive(part0.size(), 3000); });
    std::thread reader1([&] { got1 = pty1.Receive(part1.size(), 3000); });
    EXPECT_NE(ComWriteParts(session.get(), part0.data(), 30000, part1.data(), 20000), 0);
    reader0.join();
    reader1.join();
    EXPECT_TRUE(got0 == part0);
    EXPECT_TRUE(got1 == part1);

    // Synchronous I/O uses port 0 alone; a second part there has nowhere to go.
    session->overlappedIo = 0;
    EXPECT_NE(ComWriteParts(session.get(), "one", 3, nullptr, 0), 0);
    EXPECT_EQ(ComWriteParts(session.get(), "one", 3, "two", 3), 0);
    const std::vector<uint8_t> tail = pty0.Receive(6, 100);
    EXPECT_EQ(std::string(tail.begin(), tail.end()), "one");
    EXPECT_TRUE(pty1.Receive(1, 50).empty());
}

}  // namespace
