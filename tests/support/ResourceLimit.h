#pragma once
// Lowers a process resource limit for the lifetime of the object, so that a
// refused write (RLIMIT_FSIZE, like a full disk) or a refused allocation
// (RLIMIT_AS) happens deterministically.

#include <signal.h>
#include <sys/resource.h>

#include <stdexcept>

namespace kestrune::test {

class ResourceLimit {
 public:
  ResourceLimit(int resource, rlim_t limit) : resource_(resource) {
    if (getrlimit(resource_, &old_) != 0) throw std::runtime_error("getrlimit");
    // SIGXFSZ would kill the process at the file-size limit; ignored, the
    // write fails with EFBIG instead.
    oldHandler_ = signal(SIGXFSZ, SIG_IGN);
    const rlimit lowered{limit, old_.rlim_max};
    if (setrlimit(resource_, &lowered) != 0) throw std::runtime_error("setrlimit");
  }
  ~ResourceLimit() {
    setrlimit(resource_, &old_);
    signal(SIGXFSZ, oldHandler_);
  }
  ResourceLimit(const ResourceLimit&) = delete;
  ResourceLimit& operator=(const ResourceLimit&) = delete;

 private:
  int resource_;
  rlimit old_{};
  void (*oldHandler_)(int) = nullptr;
};

}  // namespace kestrune::test
