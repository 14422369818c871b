// The serial link on pseudo-terminals, from the session's port operations down
// to the devices: messages, port records, device time-outs, bytes, timing.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/resource.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "flashdll/link/serial.h"
#include "flashdll/os/serial_device.h"
#include "support/job_fixture.h"
#include "support/link_session.h"

namespace {

using namespace testing_support;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;
using Five = std::vector<uint32_t>;  // the five time-out values, in order

constexpr uint32_t kCom10 = 9;  // COM indexes 9 and 10: the devices of COM10 and COM11
constexpr os::SerialTimeouts kAtOnce = {0xFFFFFFFFu, 0, 0, 0, 0};

os::SerialTimeouts ReadTotal(uint32_t ms) { return {0, 0, ms, 0, 0}; }

long MsSince(Clock::time_point start) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

speed_t LineSpeed(int fd) {
    termios line = {};
    tcgetattr(fd, &line);
    return cfgetospeed(&line);
}

void OnSignal(int) {}

class SerialTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(link.error, ""); }

    os::SerialDevice* Device(uint32_t port) { return session->ports[port].handle; }
    Five Timeouts(uint32_t port) {
        os::SerialTimeouts t = {};
        EXPECT_TRUE(os::SerialGetTimeouts(Device(port), &t));
        return {t.readIntervalMs, t.readTotalMultiplierMs, t.readTotalConstantMs, t.writeTotalMultiplierMs,
                t.writeTotalConstantMs};
    }
    std::string Read(uint32_t port, uint32_t length) {
        std::string buffer(length, '\0');
        uint32_t got = 0;
        EXPECT_EQ(ComRead(session, port, &buffer[0], length, &got), 1);
        return buffer.substr(0, got);
    }
    // Port 0's read of up to `length` bytes under `timeouts`; `ms` is how long it took.
    std::string TimedRead(const os::SerialTimeouts& timeouts, uint32_t length, long* ms) {
        EXPECT_TRUE(os::SerialSetTimeouts(Device(0), timeouts));
        const auto start = Clock::now();
        const std::string bytes = Read(0, length);
        *ms = MsSince(start);
        return bytes;
    }

    LinkSession link{2, 1000, kCom10};
    Session* session = link.session.get();
    RecordingHost& host = link.host;
    PtyPair& pty0 = link.peers[0];
    PtyPair& pty1 = link.peers[1];
};

TEST_F(SerialTest, OpenNamesTheTenthPortCom10SetsOnlyPcSpeedsAndCloseLogsOnce) {
    ASSERT_EQ(ComOpen(session, 0, kCom10, 230400, 1000), 1);
    EXPECT_EQ(host.Messages(), (Lines{"Closed COM10", "Opened COM10 at 230400 baud"}));
    EXPECT_EQ(session->ports[0].baudRate, 230400u);
    EXPECT_EQ(LineSpeed(pty0.SlaveFd()), speed_t(B230400));
    // The fresh device carries the time-out although the record already held it.
    EXPECT_EQ(Timeouts(0), (Five{0, 0, 1000, 0, 0}));
    EXPECT_EQ(os::SerialLastError(), 0u);

    host.Clear();
    for (uint32_t baud : {57600u, 115200u, 460800u, 921600u}) {
        EXPECT_NE(ComSetBaud(session, 0, baud), 0) << baud;
        EXPECT_EQ(session->ports[0].baudRate, baud);
    }
    EXPECT_EQ(ComSetBaud(session, 0, 9600), 0);
    EXPECT_EQ(session->ports[0].baudRate, 921600u);
    EXPECT_EQ(LineSpeed(pty0.SlaveFd()), speed_t(B921600));
    ComClose(session, 0);
    ComClose(session, 0);
    EXPECT_EQ(session->ports[0].handle, nullptr);
    ComCloseAll(session);
    EXPECT_EQ(host.Messages(), (Lines{"Closed COM10", "Closed COM11"}));  // ComSetBaud tells nothing
    EXPECT_EQ(session->ports[1].handle, nullptr);
}

TEST_F(SerialTest, OpenFailuresAreReportedWithTheSystemCode) {
    const struct {
        std::string device;
        uint32_t baud;
        Lines errors, warnings;  // host messages of levels 2 and 1
        bool handleKept;         // for ComClose to close
    } cases[] = {
        {"/nonexistent/tty", 115200, {"Error: Could not open COM10 at 115200 Baud (2)"}, {}, false},
        {pty0.SlavePath(), 9600, {}, {"Error: Could not set COM10 at 9600 Baud (22)"}, true},
        {"/dev/null", 115200, {"Error: GetCommState FAILED (25)"}, {"Error: Could not set COM10 at 115200 Baud (25)"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.device);
        ComClose(session, 0);
        host.Clear();
        setenv("FLASHDLL_COM10", c.device.c_str(), 1);
        EXPECT_EQ(ComOpen(session, 0, kCom10, c.baud, 1000), 0);
        EXPECT_EQ(host.Messages(2), c.errors);
        EXPECT_EQ(host.Messages(1), c.warnings);
        EXPECT_EQ(session->ports[0].handle != nullptr, c.handleKept);
    }
    // A device path that does not fit is no path, rather than the name of another device.
    char path[64];
    setenv("FLASHDLL_COM7", std::string(100, 'x').c_str(), 1);
    os::SerialDevicePath(7, path, sizeof path);
    EXPECT_STREQ(path, "");
    unsetenv("FLASHDLL_COM7");
}

TEST_F(SerialTest, SetTimoutAndPollingModeKeepTheDeviceTimeouts) {
    EXPECT_EQ(ComSetTimout(session, 0, 300), 1000u);
    EXPECT_EQ(ComSetTimout(session, 0, 300), 300u);
    EXPECT_EQ(Timeouts(0), (Five{0, 0, 300, 0, 0}));
    // On, on again, off: back to the time-outs of before the first on.
    ComPolling(session, 0, 1);
    EXPECT_EQ(Timeouts(0), (Five{0xFFFFFFFFu, 0, 0, 0, 0}));
    ComPolling(session, 0, 1);
    ComPolling(session, 0, 0);
    EXPECT_EQ(Timeouts(0), (Five{0, 0, 300, 0, 0}));
    EXPECT_EQ(session->ports[0].readTimeoutMs, 300u);
    ASSERT_TRUE(os::SerialSetTimeouts(Device(0), {1, 2, 3, 4, 5}));
    ComPolling(session, 0, 0);  // off while not polling changes nothing
    EXPECT_EQ(Timeouts(0), (Five{1, 2, 3, 4, 5}));

    session->options.pollingvariant = 1;
    ComPolling(session, 1, 1);
    EXPECT_EQ(Timeouts(1), (Five{0, 0, 2, 0, 0}));
    ComPolling(session, 1, 0);
    EXPECT_EQ(Timeouts(1), (Five{0, 0, 1000, 0, 0}));

    // A port that cannot take it still records the value.
    ComClose(session, 1);
    host.Clear();
    EXPECT_EQ(ComSetTimout(session, 1, 700), 1000u);
    EXPECT_EQ(session->ports[1].readTimeoutMs, 700u);
    EXPECT_EQ(host.Messages(2), Lines{"Error: ComSetTimout FAILED (700, 9)"});
}

// Every read runs under a stream of signals, which must neither end a wait
// early nor start it afresh.
TEST_F(SerialTest, ReadsReturnAtTheCountOrAtTheTimeOutAndPollingReadsAtOnce) {
    struct sigaction action = {}, previous = {};
    action.sa_handler = OnSignal;  // no SA_RESTART: poll() sees EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    const pthread_t reader = pthread_self();
    std::atomic<bool> stop{false};
    std::thread noise([&] {
        for (; !stop; std::this_thread::sleep_for(std::chrono::milliseconds(10))) pthread_kill(reader, SIGUSR1);
    });
    const struct {
        os::SerialTimeouts timeouts;
        std::string sent;
        uint32_t asked;
        long minMs, maxMs;
    } cases[] = {
        {ReadTotal(1000), "0123456789", 64, 990, 3000},  // a short count at the time-out
        {kAtOnce, "", 64, 0, 500},                       // polling
        {kAtOnce, "hello", 64, 0, 500},
        {ReadTotal(2), "", 1, 2, 500},                   // the other polling variant
        {{0, 0, 0, 0, 0}, "", 8, 0, 500},                // no total is no wait without limit
    };
    long ms = 0;
    for (const auto& c : cases) {
        EXPECT_TRUE(pty0.Send(c.sent));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let it reach the device
        EXPECT_EQ(TimedRead(c.timeouts, c.asked, &ms), c.sent);
        EXPECT_GE(ms, c.minMs) << c.sent << " of " << c.asked;
        EXPECT_LT(ms, c.maxMs) << c.sent << " of " << c.asked;
    }
    // Bytes trickling in are collected; the read ends at the count.
    std::thread peer([this] {
        for (const char* piece : {"ab", "cd", "ef"}) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            pty0.Send(piece);
        }
    });
    EXPECT_EQ(TimedRead(ReadTotal(5000), 6, &ms), "abcdef");
    EXPECT_LT(ms, 2500);
    peer.join();
    stop = true;
    noise.join();
    sigaction(SIGUSR1, &previous, nullptr);
}

// A device that has gone fails every read and write at once, also in
// polling mode, and makes every waiting loop stop as for an abort; the
// host hears of it once.
TEST_F(SerialTest, HungUpDeviceFailsInsteadOfWaitingAndStopsTheJob) {
    ASSERT_TRUE(pty0.Send("xy"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pty0.CloseMaster();
    ASSERT_TRUE(os::SerialSetTimeouts(Device(0), ReadTotal(2000)));
    char buffer[8];
    uint32_t got = 0;
    const auto start = Clock::now();
    EXPECT_EQ(ComRead(session, 0, buffer, sizeof buffer, &got), 0);
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_EQ(ComWrite(session, 0, "z", 1, &got), 0);
    EXPECT_NE(os::SerialLastError(), 0u);
    ComPolling(session, 0, 1);
    EXPECT_EQ(ComRead(session, 0, buffer, 1, &got), 0);
    ComPolling(session, 0, 0);
    EXPECT_EQ(AbortRequested(session), 1);
    EXPECT_EQ(host.CountMessages("Error: COM10 has gone away"), 1u) << host.Transcript();
    EXPECT_EQ(session->run.abortFlag.load(), 0) << "the host asked for nothing";
}

// Process CPU time (all threads) in seconds.
double CpuSeconds() {
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The stand-in handset's cable is pulled mid-job: while the active boot ROM
// is awaited, and during a transfer on one of two ports or on the only one.
// The job ends with ERR_COM and its ports closed, without spinning on the
// dead port meanwhile (the host would abort after about three seconds).
TEST(VanishedPort, EndsTheJobWithAPortErrorAndClosesThePorts) {
    const struct {
        const char* name;
        bool active;
        uint32_t uarts, pullUart, pullAfterBytes;
    } cases[] = {
        {"active ROM awaited", true, 1, 0, 12},  // ten "r", then "rr": the rate acknowledgement is awaited
        {"second port mid-transfer", false, 2, 1, 50000},
        {"only port mid-transfer", false, 1, 0, 60000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        JobFixture job;
        job.AddPlatform(ActivePlatform("A1", "fl.s19"));
        job.AddPlatform(PassivePlatform("P1", "fl.s19", 0x08000000).WithFlash({testing_support::FlashDefinition(0x20000000, 2, 0)}));
        job.WriteLoader("fl.s19", 0, 2048);
        job.WriteImage("image.s19", {{0x20080000, RandomBytes(0x40000, 7)}});
        handsetsim::Scenario scenario;
        scenario.chips.push_back(job.AddAmdChip(0x01, 0x227E, 0x20000000, "64*4,256*7"));
        scenario.bootRom = c.active ? handsetsim::BootRom::Active : handsetsim::BootRom::Passive;
        scenario.startInFlashLoader = !c.active;
        scenario.uartCount = c.uarts;
        scenario.faults.pullCableUart = c.pullUart;
        scenario.faults.pullCableAfterBytes = c.pullAfterBytes;
        job.StartHandset(scenario, {1, 2});
        const std::string options = c.active ? "/platform=A1 /com=1 /phases=bl"
                                             : std::string("/platform=P1 /phases=fl /mode=flash /maxspeed=921600,921600 ") +
                                                   (c.uarts == 2 ? "/com=1,2" : "/com=1") + " /file=" + job.Path("image.s19");
        const JobSetup giveUp{{}, [](RecordingHost& host) { host.abortAfterPolls = 4; }};
        const double cpuBefore = CpuSeconds();
        const JobResult result = job.RunJob(options + " /debug=1", giveUp);
        const double cpu = CpuSeconds() - cpuBefore;
        EXPECT_EQ(result.code, ERR_COM) << result.Transcript();
        EXPECT_EQ(result.host->IndexOfMessageContaining("has gone away") >= 0, true);
        for (uint32_t com = 1; com <= c.uarts; ++com) {
            EXPECT_EQ(result.host->CountMessages("Closed COM" + std::to_string(com)), 1u);
        }
        EXPECT_LT(cpu, 1.0) << "seconds of CPU time the job took";
    }
}

TEST_F(SerialTest, WritesNeverTimeOutWhileThePeerReadsSlowly) {
    for (uint32_t overlapped : {0u, 1u}) {
        session->overlappedIo = overlapped;
        const Bytes data = RandomBytes(256 * 1024, overlapped);
        Bytes received;
        std::thread peer([&] {  // the device stays full for longer than any time-out of the port
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
            for (Bytes piece; received.size() < data.size() && !(piece = pty0.Receive(2048, 2000)).empty();) {
                received.insert(received.end(), piece.begin(), piece.end());
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        });
        uint32_t written = 0;
        EXPECT_EQ(ComWrite(session, 0, data.data(), uint32_t(data.size()), &written), 1);
        peer.join();
        EXPECT_EQ(written, data.size());
        EXPECT_TRUE(received == data) << "overlapped " << overlapped << ": " << received.size();
        EXPECT_EQ(ComWrite(session, 0, data.data(), 0, &written), 1);
        EXPECT_EQ(written, 0u);
    }
}

TEST_F(SerialTest, FlushDiscardsPendingInputUntilQuietOrAbort) {
    ASSERT_TRUE(pty0.Send(std::string(300, 'j')));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let it reach the device
    ComPolling(session, 0, 1);
    ComFlush(session, 0);
    ComPolling(session, 0, 0);
    ASSERT_TRUE(pty0.Send("AB"));
    EXPECT_EQ(Read(0, 2), "AB");

    // An abort ends a flush that would otherwise go on.
    ASSERT_TRUE(pty1.Send(std::string(50, 'k')));
    ComSetTimout(session, 1, 100);
    session->run.abortFlag = 1;
    ComFlush(session, 1);
    EXPECT_EQ(Read(1, 100).size(), 49u);
}

TEST_F(SerialTest, DataPartsGoOutOnTheirOwnPortsBothInFlight) {
    // Far more than a terminal buffers: written one after the other, the first part would
    // stall until its reader starts, and that reader starts once the second part is in.
    const Bytes part0 = RandomBytes(1024 * 1024, 2), part1 = RandomBytes(100 * 1024, 3);
    Bytes got0, got1;
    std::atomic<bool> secondComplete{false}, firstWaited{false};
    std::thread reader1([&] {
        got1 = pty1.Receive(part1.size(), 8000);
        secondComplete = got1.size() == part1.size();
    });
    std::thread reader0([&] {
        for (const auto start = Clock::now(); !secondComplete && MsSince(start) < 2000;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        firstWaited = secondComplete.load();
        got0 = pty0.Receive(part0.size(), 5000);
    });
    EXPECT_NE(ComWriteParts(session, part0.data(), uint32_t(part0.size()), part1.data(), uint32_t(part1.size())), 0);
    reader1.join();
    reader0.join();
    EXPECT_TRUE(firstWaited) << "the second part waited for the first";
    EXPECT_TRUE(got0 == part0);
    EXPECT_TRUE(got1 == part1);

    // Synchronous I/O uses port 0 alone; a second part there has nowhere to go.
    session->overlappedIo = 0;
    EXPECT_NE(ComWriteParts(session, "one", 3, nullptr, 0), 0);
    EXPECT_EQ(ComWriteParts(session, "one", 3, "two", 3), 0);
    EXPECT_EQ(pty0.Receive(6, 100), Text("one"));
    EXPECT_TRUE(pty1.Receive(1, 50).empty());
}

}  // namespace
