// The notification queue: fillers at the end of the ring, a wrap while the
// reader is at the start, concurrent writers. (A load whose host blocks while
// the ring overflows is in test_run.)
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "flashdll/os/event.h"
#include "flashdll/report/queue.h"
#include "flashdll/session/session.h"
#include "support/recording_host.h"

namespace {

using Texts = std::vector<std::string>;

constexpr const char* kOverflowText = "Prevented message overflow !";

class QueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        recorder.InstallCallbacks();
        session->host = &recorder.descriptor;
        session->queue.workEvent = os::EventCreate(false);
        session->queue.drainedEvent = os::EventCreate(true);
    }
    void TearDown() override {
        os::EventClose(session->queue.workEvent);
        os::EventClose(session->queue.drainedEvent);
    }
    uint32_t WritePosition() const { return session->queue.writePosition.load(); }
    void Message(const std::string& text) { Enqueue(session.get(), NOTIFY_MESSAGE, 0, 0, text.c_str()); }
    void DeliverAll() {
        while (DeliverOne(session.get())) {
        }
    }

    testing_support::RecordingHost recorder;
    std::unique_ptr<Session> session = std::make_unique<Session>();
};

// A record that does not fit before the ring's end (a text cut to 259
// characters), one that would end exactly at it, and one behind a tail too
// short for a filler head: each lies at position 0 behind a silent filler.
TEST_F(QueueTest, RecordThatReachesTheRingEndGoesToTheStartBehindASilentFiller) {
    session->priorities.depth = 0x5A5A5A5A;  // the field behind the queue in the session
    const std::pair<uint32_t, std::string> cases[] = {
        {100, std::string(400, 'w')}, {200, std::string(200 - kRecordHeadSize - 1, 'e')}, {5, "behind a short tail"}};
    for (const auto& c : cases) {
        const std::string stored = c.second.substr(0, kFormatBufferSize - 1);
        session->queue.writePosition = session->queue.readPosition = kRingSize - c.first;
        recorder.Clear();
        Message(c.second);
        EXPECT_EQ(WritePosition(), kRecordHeadSize + stored.size() + 1) << "the record lies at position 0";
        EXPECT_TRUE(DeliverOne(session.get()));
        EXPECT_TRUE(recorder.Events().empty()) << "a filler calls nothing";
        EXPECT_EQ(session->queue.readPosition, 0u);
        DeliverAll();
        EXPECT_EQ(recorder.Messages(), Texts{stored});
    }
    EXPECT_EQ(session->priorities.depth, 0x5A5A5A5Au);
}

// A writer that would wrap while the reader is still at 0 must not make the
// queue look empty: it waits for delivery; after 15 s without any its record
// is dropped, not written over queued ones, and the overflow announced later.
TEST_F(QueueTest, WrapWhileTheReaderIsAtTheStartWaitsThenDropsTheRecord) {
    session->run.runFlag = 1;  // a load runs, but nobody delivers
    Texts queued;
    auto queue = [&](uint32_t length) {  // a record of `length` bytes
        queued.push_back("#" + std::to_string(queued.size()));
        queued.back().resize(length - kRecordHeadSize - 1, 'x');
        Message(queued.back());
    };
    while (WritePosition() < kRingSize - 400) queue(100);
    queue((kRingSize - 10 - WritePosition()) / 2);
    queue(kRingSize - 10 - WritePosition());  // 10 bytes left: neither a record nor its announcement fits
    Message("no room");
    EXPECT_NE(WritePosition(), session->queue.readPosition) << "queued records must stay visible";
    DeliverAll();
    EXPECT_EQ(recorder.Messages(), queued);
    recorder.Clear();
    Message("after");
    Enqueue(session.get(), NOTIFY_STATUS, 0, 0, nullptr);  // a missing text arrives empty
    DeliverAll();
    EXPECT_EQ(recorder.Messages(), (Texts{"after", kOverflowText}));
    EXPECT_EQ(recorder.StatusTexts(), Texts{""});
}

// Writers that wait for room together must each get their record in once
// the queue drains, even when another writer took the room first.
TEST_F(QueueTest, ConcurrentWritersKeepTheirOwnOrderAndIntactTexts) {
    session->run.runFlag = 1;
    std::atomic<bool> stop{false};
    std::thread delivery([&] {  // as ThreadGUI: wake on work or after 750 ms, deliver, announce
        SetDeliveryThread(true);
        while (!stop) {
            os::EventWait(session->queue.workEvent, 750);
            DeliverAll();
            os::EventSet(session->queue.drainedEvent);
        }
        DeliverAll();
    });
    constexpr int kWriters = 4, kPerWriter = 1500;
    auto text = [](char name, int i) { return std::string(1, name) + std::to_string(i) + std::string(i % 90, name); };
    std::vector<std::thread> writers;
    for (char name = 'A'; name < 'A' + kWriters; ++name) {
        writers.emplace_back([&, name] {
            for (int i = 0; i < kPerWriter; ++i) Message(text(name, i));
        });
    }
    for (std::thread& writer : writers) writer.join();
    stop = true;
    os::EventSet(session->queue.workEvent);
    delivery.join();

    int next[kWriters] = {};
    for (const std::string& delivered : recorder.Messages()) {
        const int writer = delivered[0] - 'A';
        if (delivered == kOverflowText) continue;
        ASSERT_TRUE(writer >= 0 && writer < kWriters) << delivered;
        ASSERT_EQ(delivered, text(delivered[0], next[writer]++));
    }
    for (int count : next) EXPECT_EQ(count, kPerWriter);
}

}  // namespace
