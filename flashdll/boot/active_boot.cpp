// The active boot loader's handshake: the handset's ROM opens with "O", the
// PC answers with bursts of ten "r" until the ROM says "K", then sends "rr"
// and waits for the rate acknowledgement "Z" "E" before the RAM transfer.
#include "flashdll/boot/boot_loader.h"
#include "flashdll/link/serial.h"
#include "flashdll/report/notify.h"
#include "flashdll/session/session.h"

namespace {

constexpr uint32_t kWaitForOpenTimeoutMs = 500;
constexpr uint32_t kRateAckReadLimit = 100;  // reads before an unattended load gives up
constexpr uint32_t kRBurstLength = 10;

constexpr uint8_t kOpen = 'O';
constexpr uint8_t kRequest = 'r';
constexpr uint8_t kAccepted = 'K';
constexpr uint8_t kRateAck = 'Z';
constexpr uint8_t kRateAck2 = 'E';

enum class ActiveState { WaitForOpen = 1, SendRequests = 2, Accepted = 3, Loading = 5 };

struct ActiveDialogue {
    Session* session;
    uint32_t port;
    uint32_t keptTimeoutMs;  // the port's time-out before the dialogue
    ActiveState state;
};

// One byte with the port's current read time-out: -1 when none came.
int ReadByte(ActiveDialogue& d) {
    uint8_t byte = 0;
    uint32_t got = 0;
    if (ComRead(d.session, d.port, &byte, 1, &got) == 0 || got != 1) {
        return -1;
    }
    return byte;
}

void SendRequests(ActiveDialogue& d) {
    uint8_t burst[kRBurstLength];
    for (uint8_t& byte : burst) {
        byte = kRequest;
    }
    uint32_t written = 0;
    ComWrite(d.session, d.port, burst, kRBurstLength, &written);  // a lost burst is repeated
    ComSetTimout(d.session, d.port, d.keptTimeoutMs);
    const int answer = ReadByte(d);
    if (answer == kAccepted) {
        d.state = ActiveState::Accepted;
    } else if (answer >= 0) {
        d.state = ActiveState::WaitForOpen;
    }
}

void WaitForOpen(ActiveDialogue& d) {
    if (ReadByte(d) == kOpen) {
        d.state = ActiveState::SendRequests;
        SendRequests(d);
    }
}

uint32_t GiveUpUnanswered(Session* session) {
    const char* text = "Mobile didn't respond in time";
    PostHostMessage(session, FLASH_LEVEL_INFO, "%s", text);
    PostStatus(session, text);
    return ERR_PROTOCOL;
}

// "Z" then "E": without the option unattended the wait has no limit.
uint32_t WaitForRateAck(ActiveDialogue& d) {
    const char* waiting = "Waiting for the mobile's response ...";
    PostHostMessage(d.session, FLASH_LEVEL_INFO, "%s", waiting);
    PostStatus(d.session, waiting);
    for (uint32_t reads = 1;; ++reads) {
        const int byte = ReadByte(d);
        if (AbortRequested(d.session) != 0) {
            return ERR_ABORT;
        }
        if (d.session->options.unattended != 0 && reads == kRateAckReadLimit) {
            return GiveUpUnanswered(d.session);
        }
        if (byte == kRateAck) {
            break;
        }
    }
    const int second = ReadByte(d);
    if (second < 0) {
        return ERR_PROTOCOL;
    }
    if (second != kRateAck2) {
        ProtocolError(d.session, "RATE_ACK_2", kRateAck2, static_cast<uint8_t>(second));
        return ERR_PROTOCOL;
    }
    d.state = ActiveState::Loading;
    return SUCCESS;
}

uint32_t ConfirmAccepted(ActiveDialogue& d) {
    const uint8_t pair[2] = {kRequest, kRequest};
    uint32_t written = 0;
    if (ComWrite(d.session, d.port, pair, 2, &written) == 0 || written != 2) {
        return ERR_PROTOCOL;
    }
    return WaitForRateAck(d);
}

}  // namespace

uint32_t TalkToActiveBootLoader(Session* session) {
    LogLine(session, "Talking to active bootloader");
    ActiveDialogue d = {session, session->currentPort, 0, ActiveState::WaitForOpen};
    d.keptTimeoutMs = ComSetTimout(session, d.port, kWaitForOpenTimeoutMs);
    for (;;) {
        if (d.state == ActiveState::Loading) {
            return LoadRam(session);
        }
        if (AbortRequested(session) != 0) {
            return ERR_ABORT;
        }
        switch (d.state) {
            case ActiveState::WaitForOpen: WaitForOpen(d); break;
            case ActiveState::SendRequests: SendRequests(d); break;
            case ActiveState::Accepted: {
                const uint32_t result = ConfirmAccepted(d);
                if (result != SUCCESS) {
                    return result;
                }
                break;
            }
            case ActiveState::Loading: break;
        }
    }
}
