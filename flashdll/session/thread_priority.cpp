#include "flashdll/session/thread_priority.h"

#include "flashdll/os/thread.h"
#include "flashdll/session/session.h"

// Pushes beyond the stack's capacity are counted but change nothing, so
// that every pop restores exactly what its push changed.
void PushThreadPriority(Session* session, int priority) {
    ThreadPriorityStack& stack = session->priorities;
    if (stack.depth < kPriorityStackDepth) {
        stack.saved[stack.depth] = os::ThreadGetPriority();
        os::ThreadSetPriority(priority);
    }
    ++stack.depth;
}

void PopThreadPriority(Session* session) {
    ThreadPriorityStack& stack = session->priorities;
    if (stack.depth == 0) {
        return;
    }
    --stack.depth;
    if (stack.depth < kPriorityStackDepth) {
        os::ThreadSetPriority(stack.saved[stack.depth]);
    }
}
