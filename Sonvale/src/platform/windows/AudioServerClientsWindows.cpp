#include "AudioServerClients.h"

namespace sonvale {

bool AudioServerHasClient(const std::string&) { return true; }

}  // namespace sonvale
