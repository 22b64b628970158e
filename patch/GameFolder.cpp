#include "GameFolder.h"

#include <vector>

#include "Platform.h"
#include "http/DownloadPool.h"

namespace kestrune {

namespace {

// The native paths of `name`'s components below `folder`, outermost first, the whole name last.
std::vector<std::string> PathsOnTheWay(const std::string& folder, const std::string& name) {
  std::vector<std::string> paths;
  for (std::size_t cut = name.find_first_of("\\/"); cut != std::string::npos;
       cut = name.find_first_of("\\/", cut + 1)) {
    paths.push_back(platform::NativePath(folder + "\\" + name.substr(0, cut)));
  }
  paths.push_back(platform::NativePath(folder + "\\" + name));
  return paths;
}

}  // namespace

bool NoLinkOnTheWay(const std::string& folder, const std::string& name) {
  for (const std::string& path : PathsOnTheWay(folder, name)) {
    if (platform::IsLinkOrReparsePoint(path)) return false;
  }
  return true;
}

bool WritesStayInside(const std::string& folder, const std::string& name) {
  const std::string lzma = name + ".lzma";
  return NoLinkOnTheWay(folder, name) && NoLinkOnTheWay(folder, lzma) &&
         NoLinkOnTheWay(folder, PartialPath(lzma)) &&
         NoLinkOnTheWay(folder, ResumeRecordPath(lzma)) &&
         NoLinkOnTheWay(folder, name + "~kestrune.tmp");
}

bool MakeFoldersOnTheWay(const std::string& folder, const std::string& name) {
  std::vector<std::string> paths = PathsOnTheWay(folder, name);
  paths.pop_back();  // the file itself
  for (const std::string& path : paths) {
    if (platform::IsLinkOrReparsePoint(path)) return false;
    if (platform::GetPathKind(path) == platform::PathKind::Missing) platform::CreateFolder(path);
    if (platform::IsLinkOrReparsePoint(path) ||
        platform::GetPathKind(path) != platform::PathKind::Directory) {
      return false;
    }
  }
  return true;
}

}  // namespace kestrune
