#include "support/network_utils.h"

namespace quillmark {

static_assert(TNetworkUtils::NetworkPortValueToOriginalPort(0x5000) == 80);

}  // namespace quillmark
