// FlashInit and FlashFinish: a session is created for a host descriptor,
// linked to it, and released again.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <set>

#include "flashdll/contents/contents.h"
#include "flashdll/flashdll.h"
#include "flashdll/hw/fs_chip_table.h"
#include "flashdll/session/options.h"
#include "flashdll/os/exe_path.h"
#include "flashdll/report/queue.h"
#include "flashdll/session/session.h"

namespace {

constexpr const char* kPlatformDefName = "platform.def";

// Sessions created here and not yet released. A descriptor's `session`
// field is host memory: a host that never zeroed it, or that copied a
// linked descriptor, would otherwise make us free a pointer we do not own
// or a session another descriptor still uses. A session is deleted only
// when it is found here and belongs to the descriptor at hand.
std::mutex g_liveSessionsLock;
std::set<Session*> g_liveSessions;

bool Register(Session* session) {
    std::lock_guard<std::mutex> lock(g_liveSessionsLock);
    try {
        g_liveSessions.insert(session);
    } catch (...) {
        return false;
    }
    return true;
}

// The live session `host` points to, when it was created for `host`; the
// lock must be held.
std::set<Session*>::iterator FindOwnSession(FlashHostDescriptor* host) {
    const auto found = g_liveSessions.find(static_cast<Session*>(host->session));
    return found != g_liveSessions.end() && (*found)->host == host ? found : g_liveSessions.end();
}

// Deletes the session `host` points to when it is one of ours and was
// created for `host`; anything else is left alone.
void ReleaseSessionOf(FlashHostDescriptor* host) {
    Session* owned = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_liveSessionsLock);
        const auto found = FindOwnSession(host);
        if (found != g_liveSessions.end()) {
            owned = *found;
            g_liveSessions.erase(found);
        }
    }
    if (owned != nullptr) ReleaseContents(owned);  // normally released when its load ended
    delete owned;
}

void ClearCallbacks(FlashHostDescriptor* host) {
    host->OnProgressBegin = nullptr;
    host->OnProgressUpdate = nullptr;
    host->OnProgressEnd = nullptr;
    host->OnStatusText = nullptr;
    host->OnMessage = nullptr;
    host->OnPollAbort = nullptr;
}

// The module directory and the platform.def path beside it. A path too long
// for its buffer is cut; the file is then simply not found when a load
// starts.
void SetModulePaths(Session* session) {
    char* path = session->platformDefPath;
    const size_t capacity = sizeof session->platformDefPath - 1;
    os::ModuleDirectory(session->moduleDir, sizeof session->moduleDir);
    const size_t dirLength = std::strlen(session->moduleDir);  // below capacity
    const size_t nameLength = std::min(std::strlen(kPlatformDefName), capacity - dirLength);
    std::memcpy(path, session->moduleDir, dirLength);
    std::memcpy(path + dirLength, kPlatformDefName, nameLength);
    path[dirLength + nameLength] = '\0';
}

}  // namespace

Session* SessionOf(FlashHostDescriptor* host) {
    if (host == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(g_liveSessionsLock);
    const auto found = FindOwnSession(host);
    return found != g_liveSessions.end() ? *found : nullptr;
}

extern "C" FLASHDLL_API uint32_t FlashInit(FlashHostDescriptor* host, FlashLoadOptions* options) {
    if (host == nullptr) {
        return ERR_BAD_PARAMS;
    }
    if (host->size != sizeof(FlashHostDescriptor)) {
        return ERR_WRONG_DLL;
    }
    if (options == nullptr) {
        return ERR_BAD_PARAMS;
    }
    Session* session = new (std::nothrow) Session();
    if (session == nullptr) {
        return ERR_NOMEM;
    }
    if (!Register(session)) {
        delete session;
        return ERR_NOMEM;
    }
    ReleaseSessionOf(host);  // a descriptor linked before gets a fresh session
    session->host = host;
    host->session = session;
    ClearCallbacks(host);
    SetLoadOptionDefaults(options);
    SetModulePaths(session);
    FsChipTableClear(&session->fsChipTable);
    BuildComNameTable();
    ResetQueue(session);
    session->run.runFlag.store(0, std::memory_order_release);
    return SUCCESS;
}

extern "C" FLASHDLL_API uint32_t FlashFinish(FlashHostDescriptor* host) {
    if (host == nullptr || host->session == nullptr) {
        return SUCCESS;
    }
    ReleaseSessionOf(host);
    host->session = nullptr;
    return SUCCESS;
}
