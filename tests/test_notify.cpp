#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "flashdll/notify.h"
#include "flashdll/os/clock.h"
#include "flashdll/session.h"
#include "support/recording_host.h"

namespace {

using testing_support::HostEvent;
using testing_support::HostEventKind;
using testing_support::RecordingHost;

// A pointer that crashes when formatted with %s: proves a text was not
// formatted at all.
const char* const kUnreadable = reinterpret_cast<const char*>(16);

struct NotifyTest : ::testing::Test {
    RecordingHost host;
    std::unique_ptr<Session> session = std::make_unique<Session>();

    void SetUp() override {
        host.InstallCallbacks();
        session->host = &host.descriptor;
    }
    std::vector<HostEvent> Of(HostEventKind kind) const {
        std::vector<HostEvent> events;
        for (const HostEvent& event : host.Events()) {
            if (event.kind == kind) events.push_back(event);
        }
        return events;
    }
    std::vector<std::pair<uint32_t, uint32_t>> Updates() const {
        std::vector<std::pair<uint32_t, uint32_t>> updates;
        for (const HostEvent& event : Of(HostEventKind::Progress)) updates.emplace_back(event.a, event.b);
        return updates;
    }
};

TEST_F(NotifyTest, DebugGatesLogLinesButNotHostMessages) {
    session->options.debug = 0;
    LogLine(session.get(), "%s", kUnreadable);
    PostHostMessage(session.get(), 1, "careful: %u", 7u);
    EXPECT_EQ(host.Messages(), std::vector<std::string>{"careful: 7"});
    EXPECT_TRUE(host.HasMessage("careful: 7", 1));

    host.Clear();
    session->options.debug = 1;
    LogLine(session.get(), "Retry %u: %s", 2u, "SendData");
    EXPECT_TRUE(host.HasMessage("Retry 2: SendData", 0));
}

TEST_F(NotifyTest, NullCallbacksDropNotificationsUnformatted) {
    session->options.debug = 1;
    host.descriptor.OnMessage = nullptr;
    host.descriptor.OnStatusText = nullptr;
    host.descriptor.OnProgressBegin = nullptr;
    host.descriptor.OnProgressUpdate = nullptr;
    host.descriptor.OnProgressEnd = nullptr;
    LogLine(session.get(), "%s", kUnreadable);
    PostHostMessage(session.get(), 2, "%s", kUnreadable);
    PostStatus(session.get(), "status");
    ProgressBegin(session.get(), "title", 0);
    ProgressUpdate(session.get(), 1);
    ProgressEnd(session.get());
    EXPECT_TRUE(host.Events().empty());
    EXPECT_EQ(session->progress.total, 1u);  // the state is kept even without a callback
}

TEST_F(NotifyTest, DeliveredOnTheCallingThreadBeforeReturning) {
    PostHostMessage(session.get(), 0, "now");
    const std::vector<HostEvent> events = host.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].thread, std::this_thread::get_id());
}

TEST_F(NotifyTest, TextsAreCutTo259Characters) {
    session->options.debug = 1;
    const std::string longText(400, 'x');
    PostHostMessage(session.get(), 0, "%s", longText.c_str());
    LogLine(session.get(), "%s!", longText.c_str());
    const std::vector<std::string> messages = host.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], std::string(259, 'x'));
    EXPECT_EQ(messages[1], std::string(259, 'x'));
}

TEST_F(NotifyTest, StatusTextIsNotFormatted) {
    PostStatus(session.get(), "100% done %s");
    EXPECT_EQ(host.StatusTexts(), std::vector<std::string>{"100% done %s"});
}

TEST_F(NotifyTest, ProgressBeginEndAndClamping) {
    ProgressBegin(session.get(), "Loading S-Record File ...", 0);
    std::vector<HostEvent> begins = Of(HostEventKind::ProgressBegin);
    ASSERT_EQ(begins.size(), 1u);
    EXPECT_EQ(begins[0].text, "Loading S-Record File ...");
    EXPECT_EQ(begins[0].a, 1u);  // a total of 0 becomes 1

    ProgressBegin(session.get(), "t", 1000);
    ProgressUpdate(session.get(), 5000);
    EXPECT_EQ(Updates().back(), std::make_pair(1000u, 100u));
    EXPECT_EQ(session->progress.current, 1000u);

    ProgressBegin(session.get(), "t", 200);
    ProgressAdvance(session.get(), 50);
    ProgressAdvance(session.get(), 50);
    EXPECT_EQ(Updates().back(), std::make_pair(100u, 50u));
    ProgressAdvance(session.get(), 0xFFFFFFFFu);  // no wrap-around to a small value
    EXPECT_EQ(Updates().back(), std::make_pair(200u, 100u));

    ProgressEnd(session.get());
    EXPECT_EQ(Of(HostEventKind::ProgressEnd).size(), 1u);
}

// One wait of a little more than a second: a standing percentage is
// repeated once a second, a changing one at once.
TEST_F(NotifyTest, ProgressIsThrottledPerPercentAndSecond) {
    ProgressBegin(session.get(), "t", 1000);
    ProgressUpdate(session.get(), 10);   // 1 %: a new percentage
    ProgressUpdate(session.get(), 15);   // 1 % again within a second: dropped
    ProgressUpdate(session.get(), 25);   // 2 %
    EXPECT_EQ(Updates(), (std::vector<std::pair<uint32_t, uint32_t>>{{10, 1}, {25, 2}}));

    host.Clear();
    os::SleepMs(1100);
    ProgressBegin(session.get(), "t", 1000);
    ProgressUpdate(session.get(), 5);    // 0 %, equal to the last, but over a second later
    ProgressUpdate(session.get(), 9);    // 0 % again at once: dropped
    ProgressUpdate(session.get(), 10);   // 1 %
    EXPECT_EQ(Updates(), (std::vector<std::pair<uint32_t, uint32_t>>{{5, 0}, {10, 1}}));
}

}  // namespace
