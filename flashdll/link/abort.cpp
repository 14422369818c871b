#include "flashdll/link/serial.h"
#include "flashdll/session/session.h"

// The delivery thread sets the flag when the host's abort poll says yes;
// every wait loop of the dialogues looks at it through here. A port whose
// device has gone stops the loops the same way, so that none of them waits
// on it or spins on its failing reads.
int AbortRequested(Session* session) {
    return session->run.abortFlag.load(std::memory_order_acquire) != 0 || PortLost(session) ? 1 : 0;
}

int PortLost(const Session* session) {
    for (const PortRecord& record : session->ports) {
        if (record.lost != 0) {
            return 1;
        }
    }
    return 0;
}
