// Windows opens every stream on the endpoint it names, and a new default
// endpoint never takes it over: nothing to guard.
#include "OwnStreamGuard.h"

namespace sonvale {

std::unique_ptr<OwnStreamGuard> StartOwnStreamGuard(OwnStreamGuardOptions) { return nullptr; }

}  // namespace sonvale
