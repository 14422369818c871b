#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "flashdll/report/notify.h"
#include "flashdll/os/clock.h"
#include "flashdll/session/session.h"
#include "support/recording_host.h"

namespace {

using testing_support::HostEvent;
using testing_support::HostEventKind;
using Updates = std::vector<std::pair<uint32_t, uint32_t>>;  // current, percent

struct NotifyTest : ::testing::Test {
    testing_support::RecordingHost host;
    std::unique_ptr<Session> session = std::make_unique<Session>();
    Session* s = session.get();

    void SetUp() override {
        host.InstallCallbacks();
        s->host = &host.descriptor;
    }
    Updates ProgressUpdates() const {
        Updates updates;
        for (const HostEvent& e : host.Events()) {
            if (e.kind == HostEventKind::Progress) updates.emplace_back(e.a, e.b);
        }
        return updates;
    }
};

// Outside a load every notification reaches the host on the calling thread
// before the call returns.
TEST_F(NotifyTest, DeliveredAtOnceCutTo259Characters) {
    s->options.debug = 1;
    PostHostMessage(s, 1, "careful: %u", 7u);
    LogLine(s, "%s!", std::string(400, 'x').c_str());
    PostStatus(s, "100% done %s");  // not a format
    EXPECT_EQ(host.Messages(1), std::vector<std::string>{"careful: 7"});
    EXPECT_EQ(host.Messages(0), std::vector<std::string>{std::string(259, 'x')});
    EXPECT_EQ(host.StatusTexts(), std::vector<std::string>{"100% done %s"});
    for (const HostEvent& e : host.Events()) EXPECT_EQ(e.thread, std::this_thread::get_id());
}

TEST_F(NotifyTest, NothingIsFormattedWithoutDebugOrCallback) {
    const char* const unreadable = reinterpret_cast<const char*>(16);  // crashes when formatted
    LogLine(s, "%s", unreadable);  // debug is 0
    s->options.debug = 1;
    host.descriptor = {};  // no callbacks
    LogLine(s, "%s", unreadable);
    PostHostMessage(s, 2, "%s", unreadable);
    PostStatus(s, "status");
    ProgressBegin(s, "title", 0);
    ProgressUpdate(s, 1);
    ProgressEnd(s);
    EXPECT_TRUE(host.Events().empty());
    EXPECT_EQ(s->progress.total, 1u);  // the state is kept without a callback
}

TEST_F(NotifyTest, ProgressIsClampedAndThrottledPerPercentAndSecond) {
    ProgressBegin(s, "Loading ...", 0);
    ASSERT_EQ(host.Events().size(), 1u);
    EXPECT_EQ(host.Events()[0].text, "Loading ...");
    EXPECT_EQ(host.Events()[0].a, 1u);  // a total of 0 becomes 1
    ProgressBegin(s, "t", 200);
    ProgressAdvance(s, 50);
    ProgressAdvance(s, 50);
    ProgressAdvance(s, 0xFFFFFFFFu);  // held at the total, no wrap-around
    ProgressEnd(s);
    EXPECT_EQ(ProgressUpdates(), (Updates{{50, 25}, {100, 50}, {200, 100}}));
    EXPECT_EQ(host.Events().back().kind, HostEventKind::ProgressEnd);

    // A changed percentage is delivered at once, a standing one once a
    // second (one wait of a little more than a second).
    host.Clear();
    ProgressBegin(s, "t", 1000);
    ProgressUpdate(s, 10);  // 1 %
    ProgressUpdate(s, 15);  // 1 % again within a second: dropped
    os::SleepMs(1100);
    ProgressUpdate(s, 19);  // 1 %, but over a second later
    ProgressUpdate(s, 25);  // 2 %
    EXPECT_EQ(ProgressUpdates(), (Updates{{10, 1}, {19, 1}, {25, 2}}));
}

}  // namespace
