#include "flashdll/link/serial.h"

// The delivery thread sets the flag when the host's abort poll says yes;
// every wait loop of the dialogues looks at it through here. A port whose
// device has gone stops the loops the same way, so that none of them waits
// on it or spins on its failing reads.
int AbortRequested(const SerialLink& link) {
    return link.abortFlag->load(std::memory_order_acquire) != 0 || PortLost(link.ports) ? 1 : 0;
}

int PortLost(const PortRecord* ports) {
    for (uint32_t port = 0; port < kMaxPorts; ++port) {
        if (ports[port].lost != 0) {
            return 1;
        }
    }
    return 0;
}
