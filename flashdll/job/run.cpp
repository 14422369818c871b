// One load from FlashLoad to its result. The calling thread starts two
// threads and waits: ThreadProtocol does the work and queues notifications,
// ThreadGUI hands them to the host's callbacks and polls the host for an
// abort. Whatever happens, the run flag is clear when FlashLoad returns, so
// that later notifications reach the host directly again.
#include "flashdll/job/run.h"

#include <atomic>
#include <cstdio>
#include <new>

#include "flashdll/contents/contents.h"
#include "flashdll/report/errors.h"
#include "flashdll/hw/platform.h"
#include "flashdll/image/image_buffer.h"
#include "flashdll/report/notify.h"
#include "flashdll/session/options.h"
#include "flashdll/os/clock.h"
#include "flashdll/os/event.h"
#include "flashdll/os/thread.h"
#include "flashdll/job/prepare.h"
#include "flashdll/report/queue.h"
#include "flashdll/session/session.h"

namespace {

// ThreadGUI runs the host's callbacks, which may format text, draw or log:
// its stack is far larger than the delivery loop itself needs.
constexpr size_t kGuiStackBytes = 256 * 1024;
// Some dialogues keep buffers of more than 32 KiB on ThreadProtocol's stack.
constexpr size_t kProtocolStackBytes = 1024 * 1024;

// What RunLoad and ThreadGUI share beyond the session. It outlives the
// session when ThreadGUI has to be given up on, so it is freed by whichever
// of the two lets go last.
struct GuiLink {
    Session* session;
    DeliveryGate gate;
    std::atomic<int> references{2};  // RunLoad and ThreadGUI
};

void ReleaseLink(GuiLink* link) {
    if (link->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete link;
    }
}

bool RunFlagSet(const Session* session) {
    return session->run.runFlag.load(std::memory_order_acquire) != 0;
}

bool AbortFlagSet(const Session* session) {
    return session->run.abortFlag.load(std::memory_order_acquire) != 0;
}

// Delivers queued records until the queue is empty. False when ThreadGUI
// was given up on during a callback.
bool DeliverAll(Session* session, DeliveryGate* gate) {
    while (DeliverOne(session)) {
    }
    return !gate->abandoned;  // the gate is held here: reading it is safe
}

// Asks the host whether to abort once more than kAbortPollMs have passed
// since the last question, until it has said yes once. False when ThreadGUI
// was given up on during the callback.
bool PollAbort(Session* session, uint32_t* lastPollMs) {
    if (AbortFlagSet(session)) {
        return true;
    }
    const uint32_t now = os::TickCountMs();
    if (now - *lastPollMs <= kAbortPollMs) {
        return true;
    }
    *lastPollMs = now;
    FlashHostDescriptor* host = session->host;
    if (host->OnPollAbort == nullptr) {
        return true;
    }
    OpenDeliveryGate();
    const int32_t answer = host->OnPollAbort(host);
    if (!CloseDeliveryGate()) {
        return false;
    }
    if (answer != 0) {
        session->run.abortFlag.store(1, std::memory_order_release);
    }
    return true;
}

// How long ThreadGUI may sleep: at most kAbortPollMs, and no longer than
// until the next abort poll is due, so that polls keep their pace.
uint32_t GuiWaitMs(const Session* session, uint32_t lastPollMs) {
    if (AbortFlagSet(session) || session->host->OnPollAbort == nullptr) {
        return kAbortPollMs;
    }
    const uint32_t sincePoll = os::TickCountMs() - lastPollMs;
    if (sincePoll >= kAbortPollMs) {
        return 1;
    }
    return kAbortPollMs + 1 - sincePoll;
}

// ThreadGUI's loop. False when it was given up on.
bool DeliverUntilLoadEnds(Session* session, DeliveryGate* gate) {
    uint32_t lastPollMs = 0;
    for (;;) {
        os::EventWait(session->queue.workEvent, GuiWaitMs(session, lastPollMs));
        if (!DeliverAll(session, gate)) {
            return false;
        }
        os::EventSet(session->queue.drainedEvent);
        if (!RunFlagSet(session)) {
            // Records queued before the flag was cleared are all in by now.
            return DeliverAll(session, gate);
        }
        if (!PollAbort(session, &lastPollMs)) {
            return false;
        }
    }
}

// ThreadGUI's last line. The run flag is clear, so it goes to the host
// directly. What it needs is read from the session while the gate is still
// held; once the gate is open the session may be gone.
void ReportFinished(Session* session) {
    FlashHostDescriptor* host = session->host;
    const bool wanted = session->options.debug != 0 && host->OnMessage != nullptr;
    OpenDeliveryGate();
    if (wanted) {
        host->OnMessage(host, FLASH_LEVEL_INFO, "ThreadGUI finished");
    }
}

uint32_t ThreadGUI(void* argument) {
    GuiLink* link = static_cast<GuiLink*>(argument);
    Session* session = link->session;
    link->gate.mutex.lock();
    SetDeliveryThread(true);
    SetDeliveryGate(&link->gate);
    LogLine(session, "ThreadGUI started");
    if (DeliverUntilLoadEnds(session, &link->gate)) {
        ReportFinished(session);
    }
    SetDeliveryGate(nullptr);
    SetDeliveryThread(false);
    ReleaseLink(link);
    return 0;
}

uint32_t ThreadProtocol(void* argument) {
    Session* session = static_cast<Session*>(argument);
    LogLine(session, "ThreadProtocol started");
    const uint32_t result = ReLoad(session);
    LogLine(session, "ThreadProtocol finished");
    ReleaseContents(session);
    return result;
}

// The state every load starts from.
void ResetRunState(Session* session) {
    session->run.recordedError = ERR_UNKNOWN;
    ResetImageBuffers(session);
    ResetFlashDefinitions(session->platform);
    for (PortRecord& port : session->ports) {
        port.readTimeoutMs = 0;
        port.pollingActive = 0;
        port.lost = 0;
    }
    session->priorities.depth = 0;
    ResetQueue(session);
    session->run.abortFlag.store(0, std::memory_order_relaxed);
    session->run.guiThread = nullptr;
    session->run.protocolThread = nullptr;
    session->queue.workEvent = nullptr;
    session->queue.drainedEvent = nullptr;
}

bool CreateEvents(Session* session) {
    session->queue.workEvent = os::EventCreate(false);
    if (session->queue.workEvent == nullptr) {
        return false;
    }
    session->queue.drainedEvent = os::EventCreate(true);
    return session->queue.drainedEvent != nullptr;
}

GuiLink* StartGui(Session* session) {
    GuiLink* link = new (std::nothrow) GuiLink;
    if (link == nullptr) {
        return nullptr;
    }
    link->session = session;
    session->run.guiThread = os::ThreadStart(ThreadGUI, link, kGuiStackBytes);
    if (session->run.guiThread == nullptr) {
        delete link;
        return nullptr;
    }
    return link;
}

// Waits for ThreadProtocol and returns its result.
uint32_t RunProtocol(Session* session) {
    session->run.protocolThread = os::ThreadStart(ThreadProtocol, session, kProtocolStackBytes);
    if (session->run.protocolThread == nullptr) {
        return ERR_SETUP;
    }
    uint32_t result = ERR_SETUP;
    os::ThreadWait(session->run.protocolThread, os::kWaitForever, &result);
    LogLine(session, "ThreadProtocol: %u", result);
    return result;
}

// Lets ThreadGUI deliver what is left and end; a ThreadGUI that is stuck in
// a host callback for longer than kGuiStopWaitMs is given up on.
void StopGui(Session* session, GuiLink* link) {
    if (session->run.guiThread == nullptr) {
        return;
    }
    os::EventSet(session->queue.workEvent);
    if (os::ThreadWait(session->run.guiThread, kGuiStopWaitMs, nullptr)) {
        os::ThreadClose(session->run.guiThread);
    } else {
        std::lock_guard<std::mutex> lock(link->gate.mutex);
        link->gate.abandoned = true;
        os::ThreadAbandon(session->run.guiThread);
    }
    session->run.guiThread = nullptr;
    ReleaseLink(link);
}

void CloseRunHandles(Session* session) {
    if (session->run.protocolThread != nullptr) {
        os::ThreadClose(session->run.protocolThread);
        session->run.protocolThread = nullptr;
    }
    if (session->queue.workEvent != nullptr) {
        os::EventClose(session->queue.workEvent);
        session->queue.workEvent = nullptr;
    }
    if (session->queue.drainedEvent != nullptr) {
        os::EventClose(session->queue.drainedEvent);
        session->queue.drainedEvent = nullptr;
    }
}

// The port list: logical ports in order while they name a COM port; a COM
// port listed twice is used once.
void SettlePorts(Session* session) {
    uint32_t* com = session->options.com;
    session->portCount = 0;
    uint32_t i = 0;
    while (i < kMaxPorts && com[i] < FLASH_NO_PORT) {
        bool listedBefore = false;
        for (uint32_t j = 0; j < i; ++j) {
            listedBefore = listedBefore || com[j] == com[i];
        }
        if (listedBefore) {
            for (uint32_t k = i; k + 1 < kMaxPorts; ++k) {
                com[k] = com[k + 1];
            }
            com[kMaxPorts - 1] = FLASH_NO_PORT;
            continue;
        }
        session->ports[i].handle = nullptr;
        ++session->portCount;
        ++i;
    }
}

void ReportFailure(Session* session, uint32_t result) {
    char name[kErrorNameSize];
    ErrorName(result, name);
    LogLine(session, "ReLoad: %u (%s)", result, name);
    LogErrorCode(ReporterOf(session), result);
    const uint32_t recorded = session->run.recordedError;
    if (recorded != result && recorded != ERR_UNKNOWN) {
        LogErrorCode(ReporterOf(session), recorded);
    }
    char text[kFormatBufferSize];
    std::snprintf(text, sizeof text, "Sorry, an error has occured ! (%s)", name);
    PostHostMessage(session, FLASH_LEVEL_ERROR, "%s", text);
    PostStatus(session, text);
}

}  // namespace

uint32_t RunLoad(Session* session) {
    ResetRunState(session);
    uint32_t result = ERR_SETUP;
    GuiLink* link = nullptr;
    if (CreateEvents(session)) {
        // Set only once the events exist: every queued record pulses them.
        session->run.runFlag.store(1, std::memory_order_release);
        link = StartGui(session);
        if (link != nullptr) {
            result = RunProtocol(session);
        }
    }
    session->run.runFlag.store(0, std::memory_order_release);
    StopGui(session, link);
    CloseRunHandles(session);
    FreeImageBuffers(session);
    return result;
}

uint32_t ReLoad(Session* session) {
    SettlePorts(session);
    session->currentPort = 0;
    CheckOS(session);
    const uint32_t result = PrepareLoad(session);
    if (result != SUCCESS) {
        ReportFailure(session, result);
        return result;
    }
    PostHostMessage(session, FLASH_LEVEL_INFO, "All is well !");
    PostStatus(session, "All is well !");
    return SUCCESS;
}

extern "C" FLASHDLL_API uint32_t FlashLoad(FlashHostDescriptor* host, const FlashLoadOptions* options) {
    Session* session = SessionOf(host);
    if (session == nullptr || options == nullptr) {
        return ERR_BAD_PARAMS;
    }
    const uint32_t check = CheckLoadOptions(options);
    if (check != SUCCESS) {
        return check;
    }
    session->options = *options;
    return RunLoad(session);
}
