#include "client/lib_init.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <vector>

#include <mosquitto.h>

namespace {

std::mutex lib_mutex;
int lib_refs = 0;
// Records of the runs that hold a reference. A handful at most (one per
// running client), so a plain list is enough.
std::vector<const mosq_config*> lib_runs;

// Both helpers expect lib_mutex to be held.
int acquire_locked() {
    if (lib_refs == 0) {
        int rc = mosquitto_lib_init();
        if (rc != MOSQ_ERR_SUCCESS)
            return rc;
    }
    ++lib_refs;
    return MOSQ_ERR_SUCCESS;
}

void release_locked() {
    if (lib_refs == 0)
        return;
    if (--lib_refs == 0)
        mosquitto_lib_cleanup();
}

} // namespace

int client_lib_init(void) {
    std::lock_guard<std::mutex> lock(lib_mutex);
    return acquire_locked();
}

void client_lib_cleanup(void) {
    std::lock_guard<std::mutex> lock(lib_mutex);
    // Plain references are those not owned by a run; never let a stray call
    // release a reference a running client depends on.
    if (lib_refs > static_cast<int>(lib_runs.size()))
        release_locked();
}

int client_lib_init_run(const mosq_config* run) {
    std::lock_guard<std::mutex> lock(lib_mutex);
    if (std::find(lib_runs.begin(), lib_runs.end(), run) != lib_runs.end())
        return MOSQ_ERR_SUCCESS;
    int rc = acquire_locked();
    if (rc != MOSQ_ERR_SUCCESS)
        return rc;
    try {
        lib_runs.push_back(run);
    } catch (const std::bad_alloc&) {
        release_locked();
        return MOSQ_ERR_NOMEM;
    }
    return MOSQ_ERR_SUCCESS;
}

void client_lib_cleanup_run(const mosq_config* run) {
    std::lock_guard<std::mutex> lock(lib_mutex);
    auto it = std::find(lib_runs.begin(), lib_runs.end(), run);
    if (it == lib_runs.end())
        return;
    lib_runs.erase(it);
    release_locked();
}

int client_lib_refcount(void) {
    std::lock_guard<std::mutex> lock(lib_mutex);
    return lib_refs;
}
