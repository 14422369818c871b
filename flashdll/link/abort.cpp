#include "flashdll/link/serial.h"
#include "flashdll/session.h"

// The delivery thread sets the flag when the host's abort poll says yes;
// every wait loop of the dialogues looks at it through here.
int AbortRequested(Session* session) {
    return session->run.abortFlag.load(std::memory_order_acquire) != 0 ? 1 : 0;
}
