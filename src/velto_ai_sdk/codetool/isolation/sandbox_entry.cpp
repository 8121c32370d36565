// The sandbox as a small library of its own, for the warm worker
// (velto_ai_sdk/warm_worker.py): a warm run's process is forked from an
// interpreter, not started by the supervisor, and enters the sandbox
// through this one function, called with ctypes. It has no interpreter
// of its own to link against: any interpreter of the environment loads it.
#include <cerrno>
#include <cstring>

#include "velto_ai_sdk/codetool/isolation/sandbox.h"

extern "C" __attribute__((visibility("default"))) int velto_enter_sandbox(const void* kit, size_t size, int ruleset,
                                                                          int user_ns, int net_ns) {
    using namespace velto::isolation::sandbox;
    if (kit == nullptr || size != sizeof(KitData)) {
        return EINVAL;
    }
    KitData data;
    memcpy(&data, kit, sizeof data);
    return enter(data, KitFds{ruleset, user_ns, net_ns});
}
