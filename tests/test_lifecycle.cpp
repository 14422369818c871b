// FlashInit and FlashFinish inside the library. Size checks, defaults and
// cleared callbacks are checked from outside by tests/c_host/c_host_check.c.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "flashdll/os/exe_path.h"
#include "flashdll/session/session.h"
#include "support/environment.h"
#include "support/recording_host.h"

namespace {

using testing_support::RecordingHost;

struct LifecycleTest : ::testing::Test {
    RecordingHost host;
    std::unique_ptr<FlashLoadOptions> options = std::make_unique<FlashLoadOptions>();
    ~LifecycleTest() override { FlashFinish(&host.descriptor); }
    Session* session() { return static_cast<Session*>(host.descriptor.session); }

    // FlashInit with FLASHDLL_HOME set to `home` (unset when null); the
    // variable is restored afterwards.
    void InitWithHome(const char* home) {
        const char* old = std::getenv("FLASHDLL_HOME");
        const std::string saved = old != nullptr ? old : "";
        testing_support::SetEnvironment("FLASHDLL_HOME", home);
        ASSERT_EQ(FlashInit(&host.descriptor, options.get()), SUCCESS);
        testing_support::SetEnvironment("FLASHDLL_HOME", old != nullptr ? saved.c_str() : nullptr);
    }
};

TEST_F(LifecycleTest, InitLinksAFreshSessionAndNamesThePorts) {
    ASSERT_EQ(FlashInit(&host.descriptor, options.get()), SUCCESS);
    EXPECT_STREQ(ComName(0), "COM1");
    EXPECT_STREQ(ComName(63), "COM64");
    ASSERT_NE(session(), nullptr);
    EXPECT_EQ(session()->host, &host.descriptor);

    // A second FlashInit replaces the session; the sanitizer build's leak
    // checker reports the old one if it is not released.
    session()->options.debug = 1;
    session()->run.recordedError = 6;
    ASSERT_EQ(FlashInit(&host.descriptor, options.get()), SUCCESS);
    EXPECT_EQ(session()->options.debug, 0u);
    EXPECT_EQ(session()->run.recordedError, 100u);
    EXPECT_EQ(session()->host, &host.descriptor);
}

TEST_F(LifecycleTest, ModuleDirectoryOfTheExecutableOrFromHomeVariable) {
    InitWithHome(nullptr);
    std::string dir = testing_support::RunningExecutablePath();
    ASSERT_NE(dir.find(os::kPathSeparator), std::string::npos) << dir;
    dir.erase(dir.rfind(os::kPathSeparator) + 1);
    EXPECT_EQ(session()->moduleDir, dir);
    EXPECT_EQ(session()->platformDefPath, dir + "platform.def");

    // A home that fits, but not with "platform.def" behind it: the path is cut.
    const std::string longHome = "/" + std::string(kPathSize - 10, 'd');
    InitWithHome(longHome.c_str());
    EXPECT_EQ(session()->moduleDir, longHome + os::kPathSeparator);
    EXPECT_EQ(session()->platformDefPath, (longHome + os::kPathSeparator + "platform.def").substr(0, kPathSize - 1));
}

// The session field is host memory: a copied descriptor, or one never
// initialised, must not make the library free a session it does not own.
TEST_F(LifecycleTest, CopiedOrForeignSessionPointersAreNeverFreed) {
    ASSERT_EQ(FlashInit(&host.descriptor, options.get()), SUCCESS);
    auto notOurs = std::make_unique<Session>();
    for (void* pointer : {host.descriptor.session, static_cast<void*>(notOurs.get())}) {
        RecordingHost copy;
        copy.descriptor.session = pointer;
        EXPECT_EQ(FlashInit(&copy.descriptor, options.get()), SUCCESS);
        EXPECT_NE(copy.descriptor.session, pointer);
        EXPECT_EQ(FlashFinish(&copy.descriptor), SUCCESS);
        copy.descriptor.session = pointer;
        EXPECT_EQ(FlashFinish(&copy.descriptor), SUCCESS);
        EXPECT_EQ(copy.descriptor.session, nullptr);
    }
    host.InstallCallbacks();  // the original session still works
    EXPECT_EQ(FlashParseOptionString(&host.descriptor, "/com=2", nullptr, options.get()), SUCCESS);
    EXPECT_TRUE(host.HasMessage("/com=2 ", 0));
}

// Exports that take a descriptor reach only a session the library made for
// that very descriptor and has not released: a copy, a finished descriptor
// or a foreign pointer gets ERR_BAD_PARAMS and nothing is touched.
TEST_F(LifecycleTest, OnlyTheLinkedDescriptorReachesItsSession) {
    ASSERT_EQ(FlashInit(&host.descriptor, options.get()), SUCCESS);
    host.InstallCallbacks();
    ASSERT_EQ(FlashParseOptionString(&host.descriptor, "/com=1 /mode=verify /file=x", nullptr, options.get()), SUCCESS);
    auto notOurs = std::make_unique<Session>();
    RecordingHost live, finished, foreign;
    live.descriptor = host.descriptor;
    live.descriptor.OnMessage = nullptr;
    ASSERT_EQ(FlashInit(&finished.descriptor, options.get()), SUCCESS);
    FlashHostDescriptor stale = finished.descriptor;
    ASSERT_EQ(FlashFinish(&finished.descriptor), SUCCESS);
    foreign.descriptor.session = notOurs.get();
    notOurs->host = &foreign.descriptor;
    for (FlashHostDescriptor* descriptor : {&live.descriptor, &stale, &foreign.descriptor}) {
        EXPECT_EQ(FlashParseOptionString(descriptor, "/com=3", nullptr, options.get()), ERR_BAD_PARAMS);
        EXPECT_EQ(FlashLoad(descriptor, options.get()), ERR_BAD_PARAMS);
    }
    EXPECT_TRUE(foreign.Events().empty());
    EXPECT_EQ(FlashParseOptionString(&host.descriptor, "/com=2", nullptr, options.get()), SUCCESS);
}

}  // namespace
