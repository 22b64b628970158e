#pragma once
// The one way platform/posix opens a descriptor.

#include <sys/types.h>

namespace platform {

// open(2) with O_CLOEXEC added (no descriptor of ours reaches a started program), tried again
// when a signal interrupts it. Returns the descriptor, or -1 with errno set.
int OpenDescriptor(const char* path, int flags, mode_t mode = 0);
// The same relative to the open folder `folder` (openat(2)).
int OpenDescriptorAt(int folder, const char* path, int flags, mode_t mode = 0);

}  // namespace platform
