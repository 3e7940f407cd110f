#include "app/run_error.h"
#include "mount/mount.h"

namespace qzb::mount {

bool mountBuilt() {
    return false;
}

std::string absentReason() {
    return "this qzb was built without libfuse 3, so it cannot mount";
}

int serve(const Archive&, const Settings&) {
    throw RunError(absentReason());
}

} // namespace qzb::mount
