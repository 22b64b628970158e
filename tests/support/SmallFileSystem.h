#pragma once
// A small file system of its own (a tmpfs) mounted on a test's folder, so that a full disk is
// real and its free space known. Mounting needs root; mounted() tells whether it worked.

#include <sys/mount.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace kestrune::test {

class SmallFileSystem {
 public:
  SmallFileSystem(const std::filesystem::path& dir, std::uint64_t bytes) : dir_(dir) {
    std::filesystem::create_directories(dir_);
    const std::string options = "size=" + std::to_string(bytes);
    mounted_ = ::mount("tmpfs", dir_.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  // Detached, so that a process whose working directory is inside does not keep it busy.
  ~SmallFileSystem() {
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;

  bool mounted() const { return mounted_; }

 private:
  std::filesystem::path dir_;
  bool mounted_ = false;
};

}  // namespace kestrune::test
