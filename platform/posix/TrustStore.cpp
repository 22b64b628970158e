#include "Platform.h"

namespace platform {

std::string SystemRootCertificatesPem() {
  return {};
}

}  // namespace platform
