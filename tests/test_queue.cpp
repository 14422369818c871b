// The notification queue: records in order and intact, fillers at the end of
// the ring, overflow with a host that does not take records, concurrent
// writers, and a delivery thread given up on inside a callback.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "flashdll/os/event.h"
#include "flashdll/queue.h"
#include "flashdll/session.h"
#include "support/recording_host.h"

namespace {

using testing_support::HostEventKind;
using testing_support::RecordingHost;

constexpr const char* kOverflowText = "Prevented message overflow !";

// A host whose OnMessage waits until the test lets it go.
struct BlockingHost {
    FlashHostDescriptor descriptor = {};  // first: callbacks find the host through it
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    bool inCallback = false;
    std::vector<std::string> messages;

    BlockingHost() {
        descriptor.size = sizeof descriptor;
        descriptor.OnMessage = [](FlashHostDescriptor* raw, uint32_t, const char* text) {
            auto* self = reinterpret_cast<BlockingHost*>(raw);
            std::unique_lock<std::mutex> lock(self->mutex);
            self->inCallback = true;
            self->changed.notify_all();
            self->changed.wait(lock, [self] { return self->released; });
            self->messages.push_back(text);
            self->inCallback = false;
        };
    }
    void WaitInCallback() {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return inCallback; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }
    std::vector<std::string> Messages() {
        std::lock_guard<std::mutex> lock(mutex);
        return messages;
    }
};

// Delivers like the library's delivery thread: wake on work or after
// 750 ms, deliver everything, announce the drained queue.
class Consumer {
public:
    explicit Consumer(Session* session) : session_(session), thread_([this] { Run(); }) {}
    ~Consumer() { Stop(); }
    void Stop() {
        if (thread_.joinable()) {
            stop_ = true;
            os::EventSet(session_->queue.workEvent);
            thread_.join();
        }
    }

private:
    void Run() {
        SetDeliveryThread(true);
        for (;;) {
            os::EventWait(session_->queue.workEvent, 750);
            while (DeliverOne(session_)) {
            }
            os::EventSet(session_->queue.drainedEvent);
            if (stop_) {
                while (DeliverOne(session_)) {
                }
                break;
            }
        }
        SetDeliveryThread(false);
    }

    Session* session_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class QueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        recorder.InstallCallbacks();
        session = std::make_unique<Session>();
        session->host = &recorder.descriptor;
        session->queue.workEvent = os::EventCreate(false);
        session->queue.drainedEvent = os::EventCreate(true);
        ResetQueue(session.get());
    }
    void TearDown() override {
        os::EventClose(session->queue.workEvent);
        os::EventClose(session->queue.drainedEvent);
    }

    uint32_t WritePosition() const { return session->queue.writePosition.load(); }
    uint32_t ReadPosition() const { return session->queue.readPosition.load(); }
    void Message(const std::string& text) { Enqueue(session.get(), NOTIFY_MESSAGE, 0, 0, text.c_str()); }
    size_t DeliverAll() {
        size_t count = 0;
        while (DeliverOne(session.get())) ++count;
        return count;
    }
    // Queues message records (without delivering) until the write position
    // is exactly `target`; returns their texts.
    std::vector<std::string> FillTo(uint32_t target) {
        constexpr uint32_t kLongest = kRecordHeadSize + kFormatBufferSize;
        constexpr uint32_t kShortest = kRecordHeadSize + 8;
        std::vector<std::string> texts;
        while (WritePosition() < target) {
            const uint32_t remaining = target - WritePosition();
            uint32_t length = remaining;
            if (remaining > kLongest) {
                length = remaining - kLongest >= kShortest ? kLongest : remaining - kShortest;
            }
            std::string text = "#" + std::to_string(texts.size()) + "#";
            text.resize(length - kRecordHeadSize - 1, 'x');
            texts.push_back(text);
            Message(text);
        }
        EXPECT_EQ(WritePosition(), target);
        return texts;
    }
    // Moves both positions to `target`.
    void AdvanceTo(uint32_t target) {
        while (WritePosition() < target) {
            FillTo(std::min(target, WritePosition() + 4000));
            DeliverAll();
        }
        ASSERT_EQ(ReadPosition(), target);
        recorder.Clear();
    }

    RecordingHost recorder;
    std::unique_ptr<Session> session;
};

TEST_F(QueueTest, DeliversEveryTypeInOrderWithItsOwnCopyOfTheText) {
    char reused[16] = "first";
    Enqueue(session.get(), NOTIFY_MESSAGE, FLASH_LEVEL_ERROR, 0, reused);
    std::snprintf(reused, sizeof reused, "changed");  // the producer reuses its buffer at once
    Enqueue(session.get(), NOTIFY_PROGRESS_BEGIN, 7, 0, "title");
    Enqueue(session.get(), NOTIFY_PROGRESS, 3, 42, nullptr);
    Enqueue(session.get(), NOTIFY_PROGRESS_END, 0, 0, nullptr);
    Enqueue(session.get(), NOTIFY_STATUS, 0, 0, nullptr);  // a missing text arrives empty
    Message(std::string(400, 'L'));                         // cut to 259 characters

    EXPECT_EQ(DeliverAll(), 6u);
    const auto events = recorder.Events();
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(std::make_tuple(events[0].kind, events[0].a, events[0].text),
              std::make_tuple(HostEventKind::Message, FLASH_LEVEL_ERROR, std::string("first")));
    EXPECT_EQ(std::make_tuple(events[1].kind, events[1].a, events[1].text),
              std::make_tuple(HostEventKind::ProgressBegin, 7u, std::string("title")));
    EXPECT_EQ(std::make_tuple(events[2].kind, events[2].a, events[2].b), std::make_tuple(HostEventKind::Progress, 3u, 42u));
    EXPECT_EQ(events[3].kind, HostEventKind::ProgressEnd);
    EXPECT_EQ(std::make_tuple(events[4].kind, events[4].text), std::make_tuple(HostEventKind::Status, std::string()));
    EXPECT_EQ(events[5].text, std::string(259, 'L'));
}

TEST_F(QueueTest, RecordThatDoesNotFitAtTheEndGoesToTheStartBehindASilentFiller) {
    AdvanceTo(kRingSize - 100);
    const std::string text(150, 'w');
    Message(text);
    EXPECT_EQ(WritePosition(), kRecordHeadSize + 151) << "the record lies at position 0";

    EXPECT_TRUE(DeliverOne(session.get()));  // the filler
    EXPECT_TRUE(recorder.Events().empty()) << "a filler calls nothing";
    EXPECT_EQ(ReadPosition(), 0u);
    EXPECT_TRUE(DeliverOne(session.get()));
    EXPECT_EQ(recorder.Messages(), std::vector<std::string>{text});
    EXPECT_FALSE(DeliverOne(session.get()));
}

TEST_F(QueueTest, RecordExactlyReachingTheRingEndAlsoMovesToTheStart) {
    AdvanceTo(kRingSize - 200);
    Message(std::string(200 - kRecordHeadSize - 1, 'e'));
    EXPECT_EQ(WritePosition(), 200u);
    EXPECT_EQ(DeliverAll(), 2u);  // filler and record
    EXPECT_EQ(recorder.Messages().size(), 1u);
}

TEST_F(QueueTest, FillerHeadInTheRingsLastBytesStaysInsideTheQueue) {
    session->priorities.depth = 0x5A5A5A5A;  // the field behind the queue in the session
    AdvanceTo(kRingSize - 5);
    Message("behind a short tail");
    EXPECT_EQ(session->priorities.depth, 0x5A5A5A5Au);
    EXPECT_EQ(DeliverAll(), 2u);
    EXPECT_EQ(recorder.Messages(), std::vector<std::string>{"behind a short tail"});
}

// Nobody delivers here (no load runs, so nothing waits): a writer that would
// wrap while the reader is still at position 0 must not make the queue look
// empty. The record that finds no room is dropped and the overflow is
// announced with the next record that fits.
TEST_F(QueueTest, WrapWhileTheReaderIsAtTheStartLosesNoQueuedRecord) {
    const std::vector<std::string> queued = FillTo(kRingSize - 10);
    Message("no room");
    EXPECT_NE(WritePosition(), ReadPosition()) << "queued records must stay visible";

    DeliverAll();
    EXPECT_EQ(recorder.Messages(), queued);
    recorder.Clear();
    Message("after");
    DeliverAll();
    EXPECT_EQ(recorder.Messages(), (std::vector<std::string>{"after", kOverflowText}));
}

TEST_F(QueueTest, OverflowWaitsForABlockedHostAndAnnouncesItself) {
    BlockingHost host;
    session->host = &host.descriptor;
    session->run.runFlag = 1;
    Consumer consumer(session.get());
    std::atomic<int> produced{0};
    constexpr int kCount = 400;  // about 50 KB of records through a 16 KiB ring
    std::thread producer([&] {
        for (int i = 0; i < kCount; ++i) {
            Message(std::to_string(i) + ":" + std::string(100, 'p'));
            ++produced;
        }
    });
    host.WaitInCallback();
    // Wait until the producer stands still: it is waiting for room.
    int last = -1;
    while (produced.load() != last) {
        last = produced.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_LT(last, kCount) << "the producer must wait while the host blocks";
    host.Release();
    producer.join();
    consumer.Stop();

    std::vector<std::string> delivered;
    size_t announcements = 0;
    for (const std::string& text : host.Messages()) {
        if (text == kOverflowText) {
            ++announcements;
        } else {
            delivered.push_back(text);
        }
    }
    EXPECT_GE(announcements, 1u);
    ASSERT_EQ(delivered.size(), static_cast<size_t>(kCount));
    for (int i = 0; i < kCount; ++i) {
        EXPECT_EQ(delivered[i], std::to_string(i) + ":" + std::string(100, 'p'));
    }
}

// Waits out the 15 s delivery limit once.
TEST_F(QueueTest, OverflowThatTimesOutDropsTheRecordInsteadOfOverwriting) {
    BlockingHost host;
    session->host = &host.descriptor;
    session->run.runFlag = 1;
    Consumer consumer(session.get());
    std::vector<std::string> queued;
    std::thread producer([&] {
        const std::string body(100, 't');
        for (;;) {
            const std::string text = std::to_string(1000 + queued.size()) + body;
            if (WritePosition() + kRecordHeadSize + text.size() + 1 >= kRingSize) break;
            queued.push_back(text);
            Message(text);
        }
        Message("dropped");  // waits 15 s for the blocked host, then gives up
    });
    host.WaitInCallback();
    producer.join();
    host.Release();
    Message("after");
    consumer.Stop();

    std::vector<std::string> expected = queued;
    expected.push_back("after");
    expected.push_back(kOverflowText);
    EXPECT_EQ(host.Messages(), expected);
}

// Writers that wait for room together must each get their record in once
// the queue drains, even when another writer took the room first.
TEST_F(QueueTest, ConcurrentWritersKeepTheirOwnOrderAndIntactTexts) {
    session->run.runFlag = 1;
    Consumer consumer(session.get());
    constexpr int kWriters = 4;
    constexpr int kPerWriter = 1500;
    auto write = [this](char name) {
        for (int i = 0; i < kPerWriter; ++i) {
            Message(std::string(1, name) + std::to_string(i) + std::string(i % 90, name));
        }
    };
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back(write, static_cast<char>('A' + w));
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    consumer.Stop();

    int next[kWriters] = {};
    for (const std::string& text : recorder.Messages()) {
        if (text == kOverflowText) continue;
        const int writer = text[0] - 'A';
        const int i = next[writer]++;
        ASSERT_EQ(text, std::string(1, text[0]) + std::to_string(i) + std::string(i % 90, text[0]));
    }
    for (int count : next) {
        EXPECT_EQ(count, kPerWriter);
    }
}

TEST_F(QueueTest, DeliveryThreadGivenUpOnInACallbackLeavesTheQueueAlone) {
    BlockingHost host;
    session->host = &host.descriptor;
    Message("stuck");
    Message("never delivered");
    DeliveryGate gate;
    std::atomic<bool> result{true};
    std::thread delivery([&] {
        gate.mutex.lock();
        SetDeliveryGate(&gate);
        result = DeliverOne(session.get());
        SetDeliveryGate(nullptr);
    });
    host.WaitInCallback();
    {
        std::lock_guard<std::mutex> lock(gate.mutex);  // open while the callback runs
        gate.abandoned = true;
    }
    host.Release();
    delivery.join();
    EXPECT_FALSE(result.load());
    EXPECT_EQ(ReadPosition(), 0u) << "an abandoned delivery must not move the reader";
    EXPECT_EQ(host.Messages(), std::vector<std::string>{"stuck"});
}

}  // namespace
