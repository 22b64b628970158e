#include "Publisher.h"

#include <lzma.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <thread>
#include <vector>

#include "CRC32.h"
#include "Limits.h"
#include "PatchEntry.h"
#include "PatchNames.h"
#include "Platform.h"
#include "PublishFiles.h"
#include "ReleaseSigning.h"
#include "Utf8.h"
#include "delta/ZstdDelta.h"
#include "hash/Sha256.h"
#include "sign/SignedRelease.h"
#include "xml/XmlDocument.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using Kind = PublishError::Kind;

// What the previous lists said about a file.
struct Known {
  std::string crc;
  std::uint64_t size = 0;
  std::string sha256;                   // empty from lists of older publishers
  std::optional<std::uint64_t> packed;  // likewise
  std::vector<PatchDelta> deltas;
};

// A delta of an entry from one earlier version.
struct Delta {
  std::string from;  // the old file's CRC-32 text
  std::string sha256;
  std::uint64_t packed = 0;  // 0 in a dry run
  fs::path target;           // the .zst
  bool fresh = false;        // written by this run under its part name
};

struct Entry {
  std::string name;  // "\" separated, as the list writes it
  fs::path source;
  fs::path relative;  // below the release folder
  fs::path target;    // the .lzma
  std::uint64_t size = 0;
  std::string crc;
  std::string sha256;
  std::uint64_t packedSize = 0;  // of the .lzma; 0 in a dry run for a file still to pack
  bool packed = false;
  std::vector<Delta> deltas;
};

// The new launcher's bytes, read once so that the copy and the digest are of the same file.
// Refuses what every launcher would refuse: an empty file, or one above the body cap.
std::string ReadUpdater(const fs::path& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) {
    throw PublishError(Kind::Refused, "the updater " + Quoted(path) + " is not a readable file");
  }
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec || size == 0) {
    throw PublishError(Kind::Refused, "the updater " + Quoted(path) + " is empty");
  }
  if (size > static_cast<std::uintmax_t>(limits::kUpdaterBody)) {
    throw PublishError(Kind::Refused, "the updater " + Quoted(path) + " is larger than the " +
                                          std::to_string(limits::kUpdaterBody >> 20) +
                                          " MiB a launcher takes");
  }
  std::string bytes = ReadText(path);
  if (bytes.size() != size) {
    throw PublishError(Kind::Failed, "cannot read the updater " + Quoted(path));
  }
  return bytes;
}

// The entries of a list written before, by file name; empty when it is missing or unreadable
// (then every file is packed again).
std::map<std::string, Known> ReadList(const fs::path& path) {
  std::map<std::string, Known> known;
  const std::string text = ReadText(path);
  if (text.empty()) return known;
  try {
    for (const PatchEntry& e : ReadPatchEntries(text)) {
      // Without its size the entry proves nothing.
      if (!e.size || e.malformed) continue;
      known[e.filename] = Known{e.original, *e.size, e.sha256, e.packed, e.deltas};
    }
  } catch (...) {
    known.clear();
  }
  return known;
}

fs::path PartName(const Entry& e) {
  return WithSuffix(e.target, kPartSuffix);
}

struct LzmaStream {
  lzma_stream s = LZMA_STREAM_INIT;
  ~LzmaStream() { lzma_end(&s); }
};

// Packs `source` into PartName(e) as LZMA-alone with the size in the header and no end
// marker; returns the .lzma size. The digests of what was read must equal the entry's, so a
// file that changes while it is published fails instead of being listed wrongly.
std::uint64_t Pack(const Entry& e, int preset, std::atomic<std::uint64_t>& bytesDone) {
  lzma_options_lzma opt{};
  if (lzma_lzma_preset(&opt, static_cast<std::uint32_t>(preset))) {
    throw PublishError(Kind::BadOptions, "unsupported preset " + std::to_string(preset));
  }
  // A dictionary beyond the file's size only costs the launcher memory.
  std::uint32_t dict = LZMA_DICT_SIZE_MIN;
  while (dict < e.size && dict < opt.dict_size) dict <<= 1;
  opt.dict_size = std::min(dict, opt.dict_size);
  opt.ext_flags = 0;
  opt.ext_size_low = static_cast<std::uint32_t>(e.size);
  opt.ext_size_high = static_cast<std::uint32_t>(e.size >> 32);
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA1EXT, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};

  LzmaStream z;
  if (lzma_raw_encoder(&z.s, filters) != LZMA_OK) {
    throw PublishError(Kind::Failed, "cannot set up the encoder for " + Quoted(e.source));
  }

  std::error_code ec;
  fs::create_directories(e.target.parent_path(), ec);
  const std::string part = U8(PartName(e));
  std::uint64_t written = 0;
  try {
    platform::File in = platform::File::OpenRead(U8(e.source), platform::File::Share::ReadWrite);
    platform::File out = platform::File::Create(part);

    std::uint8_t header[13];
    header[0] = static_cast<std::uint8_t>((opt.pb * 5 + opt.lp) * 9 + opt.lc);
    for (int i = 0; i < 4; ++i) header[1 + i] = static_cast<std::uint8_t>(opt.dict_size >> (8 * i));
    for (int i = 0; i < 8; ++i) header[5 + i] = static_cast<std::uint8_t>(e.size >> (8 * i));
    out.Write(header, sizeof header);
    written += sizeof header;

    std::vector<std::uint8_t> inBuf(1 << 20), outBuf(1 << 20);
    std::uint32_t crc = 0xFFFFFFFFu;
    Sha256 sha256;
    std::uint64_t read = 0;
    bool eof = false;
    for (;;) {
      if (z.s.avail_in == 0 && !eof) {
        const std::size_t n = in.Read(inBuf.data(), inBuf.size());
        eof = n == 0;
        crc = CRC32Update(crc, inBuf.data(), n);
        sha256.Update(inBuf.data(), n);
        read += n;
        bytesDone += n;
        z.s.next_in = inBuf.data();
        z.s.avail_in = n;
      }
      z.s.next_out = outBuf.data();
      z.s.avail_out = outBuf.size();
      const lzma_ret ret = lzma_code(&z.s, eof ? LZMA_FINISH : LZMA_RUN);
      const std::size_t produced = outBuf.size() - z.s.avail_out;
      out.Write(outBuf.data(), produced);
      written += produced;
      if (ret == LZMA_STREAM_END) break;
      if (ret != LZMA_OK)
        throw PublishError(Kind::Failed, "encoding " + Quoted(e.source) + " failed");
    }
    if (read != e.size || CRC32Text(~crc) != e.crc || sha256.HexDigest() != e.sha256) {
      throw PublishError(Kind::Failed, Quoted(e.source) + " changed while it was published");
    }
    out.Close();
  } catch (const platform::SystemError& error) {
    fs::remove(part, ec);
    throw PublishError(Kind::Failed, "cannot pack " + Quoted(e.source) + ": " + error.what());
  } catch (...) {
    fs::remove(part, ec);
    throw;
  }
  return written;
}

std::string BaseUrl(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

// Why `url` is no absolute http or https URL with a host; empty when it is one.
std::string UrlProblem(std::string_view url) {
  for (const char c : url) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b == 0x7F) return "holds a blank or a control character";
  }
  const std::size_t colon = url.find("://");
  std::string scheme(url.substr(0, colon == std::string_view::npos ? 0 : colon));
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (scheme != "http" && scheme != "https") return "does not start with http:// or https://";
  std::string_view authority = url.substr(colon + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  if (authority.starts_with('[')) {
    return "names an IPv6 address, but the launcher connects over IPv4 only";
  }
  const std::size_t portColon = authority.find(':');
  if (authority.substr(0, portColon).empty()) return "names no host";
  if (portColon != std::string_view::npos) {
    const std::string_view port = authority.substr(portColon + 1);
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string_view::npos ||
        std::stoi(std::string(port)) == 0 || std::stoi(std::string(port)) > 65535) {
      return "has a port that is not a number 1..65535";
    }
  }
  return {};
}

// Throws BadOptions for options that cannot make a working patch set.
void CheckOptions(const PublishOptions& o) {
  auto refuse = [](const std::string& message) { throw PublishError(Kind::BadOptions, message); };
  if (o.preset < 0 || o.preset > 9) refuse("the preset must be 0..9");
  if (o.baseUrl.empty()) refuse("a base URL is needed");
  if (const std::string problem = UrlProblem(o.baseUrl); !problem.empty()) {
    refuse("the base URL \"" + o.baseUrl + "\" " + problem);
  }
  if (o.baseUrl.find_first_of("?#") != std::string::npos) {
    refuse("the base URL \"" + o.baseUrl +
           "\" holds a query or fragment, but the lists' names are appended to it");
  }
  if (!o.updaterUrl.empty()) {
    if (const std::string problem = UrlProblem(o.updaterUrl); !problem.empty()) {
      refuse("the updater URL \"" + o.updaterUrl + "\" " + problem);
    }
  }
  if (o.signingKey && !o.updaterFile.empty() && !o.updaterUrl.empty()) {
    const std::string name = UrlFileName(o.updaterUrl);
    if (name.empty() || name.starts_with('.') || name == kPatchListName ||
        name == kCriticalPatchListName) {
      refuse("the updater URL \"" + o.updaterUrl +
             "\" ends in no file name its signature could be written under and name");
    }
  }
  if (o.version < 0) refuse("the version must not be negative");
  if (o.criticalVersion < 0) refuse("the critical version must not be negative");
  for (const std::string& dir : o.deltaFrom) {
    std::error_code ec;
    if (!fs::is_directory(PathOfU8(dir), ec)) refuse("--delta-from " + dir + " is no folder");
  }
}

bool Inside(const fs::path& inner, const fs::path& outer) {
  const auto [o, i] = std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end());
  return o == outer.end();
}

// Refuses a release folder that the output folder would publish, or the reverse.
void CheckFolders(const fs::path& release, const fs::path& out) {
  std::error_code ec;
  if (!fs::is_directory(release, ec)) {
    throw PublishError(Kind::Failed, Quoted(release) + " is not a folder");
  }
  // Canonical paths, so that links and ".." cannot hide one folder inside the other.
  const fs::path r = fs::weakly_canonical(fs::absolute(release, ec), ec).lexically_normal();
  const fs::path o = fs::weakly_canonical(fs::absolute(out, ec), ec).lexically_normal();
  auto refuse = [](const std::string& message) { throw PublishError(Kind::BadOptions, message); };
  if (r == o) refuse("the release folder and the output folder are the same folder, " + Quoted(r));
  if (Inside(o, r)) {
    refuse("the output folder " + Quoted(o) + " lies inside the release folder " + Quoted(r) +
           ": the patch set would be published as part of the release");
  }
  if (Inside(r, o)) {
    refuse("the release folder " + Quoted(r) + " lies inside the output folder " + Quoted(o) +
           ": the web server would serve the release itself");
  }
}

// Why the launcher could not handle the release file `path` (`name` as the list writes it);
// empty when it can.
std::string FileProblem(const fs::path& path, std::string& name) {
  if (name.find('\\') != std::string::npos) {
    return "the launcher separates folders with \\, so the name cannot hold one";
  }
  std::replace(name.begin(), name.end(), '/', '\\');
  if (name.find_first_of("%?#") != std::string::npos || !IsSafePatchName(name)) {
    return "the launcher cannot fetch a file of this name";
  }
  try {
    EscapeXml(name);  // refuses what the list could not carry
  } catch (const PublishError& error) {
    return std::string("the list cannot carry the name: ") + error.what();
  }
  try {
    platform::File::OpenRead(U8(path), platform::File::Share::ReadWrite);
  } catch (const platform::SystemError& error) {
    return std::string("cannot read it: ") + error.what();
  }
  return {};
}

// The release's files, sorted by name, each with its size. Throws Refused naming every file
// the launcher could not fetch or place and every folder or file that cannot be read.
std::vector<Entry> ScanRelease(const fs::path& release, const fs::path& files) {
  std::vector<Entry> entries;
  std::vector<std::string> refused;
  std::vector<fs::path> folders = {release};
  while (!folders.empty()) {
    const fs::path folder = folders.back();
    folders.pop_back();
    std::error_code ec;
    for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
      std::error_code statError;
      if (it->is_directory(statError)) {
        // Linked folders are not followed: a link back up would never end.
        if (!it->is_symlink(statError)) folders.push_back(it->path());
        continue;
      }
      const fs::path relative = it->path().lexically_relative(release);
      Entry e;
      e.name = GenericU8(relative);
      std::string problem = FileProblem(it->path(), e.name);
      if (problem.empty()) {
        e.size = fs::file_size(it->path(), statError);
        if (statError) problem = "cannot read it: " + statError.message();
      }
      if (!problem.empty()) {
        refused.push_back(Quoted(it->path()) + ": " + problem);
        continue;
      }
      e.source = it->path();
      e.relative = relative;
      e.target = files / WithSuffix(relative, ".lzma");
      entries.push_back(std::move(e));
    }
    if (ec) refused.push_back(Quoted(folder) + ": cannot read the folder: " + ec.message());
  }
  if (!refused.empty()) {
    std::sort(refused.begin(), refused.end());
    std::string message = refused.front();
    if (refused.size() > 1) {
      message = std::to_string(refused.size()) + " release paths refused:";
      for (const std::string& r : refused) message += "\n  " + r;
    }
    throw PublishError(Kind::Refused, message);
  }
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return entries;
}

std::string PatchListXml(const std::vector<Entry>& entries) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<patchlist>\n";
  for (const Entry& e : entries) {
    // The launcher installs a file only when its unpacked data matches all of these, and
    // reads no more of a .lzma than `packed`.
    xml += "  <archive filename=\"" + EscapeXml(e.name) + "\" original=\"" + e.crc + "\" size=\"" +
           std::to_string(e.size) + "\" packed=\"" + std::to_string(e.packedSize) + "\" sha256=\"" +
           e.sha256 + "\"";
    if (e.deltas.empty()) {
      xml += "/>\n";
      continue;
    }
    xml += ">\n";
    // Launchers that know no deltas read only the attributes above.
    for (const Delta& d : e.deltas) {
      xml += "    <delta from=\"" + d.from + "\" sha256=\"" + d.sha256 + "\" packed=\"" +
             std::to_string(d.packed) + "\"/>\n";
    }
    xml += "  </archive>\n";
  }
  xml += "</patchlist>\n";
  return xml;
}

// The .lzma files under `files` that no name in `keep` stands for, by name.
std::map<std::string, fs::path> StaleFiles(const fs::path& files,
                                           const std::set<std::string>& keep) {
  std::map<std::string, fs::path> stale;
  std::error_code ec;
  if (!fs::is_directory(files, ec)) return stale;
  for (auto it = fs::recursive_directory_iterator(files, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    std::string rel = GenericU8(it->path().lexically_relative(files));
    if (it->is_directory()) continue;
    // A delta is known by its whole name, a .lzma by its file's.
    if (rel.ends_with(".lzma")) {
      rel.resize(rel.size() - 5);
    } else if (!rel.ends_with(".zst")) {
      continue;
    }
    std::replace(rel.begin(), rel.end(), '/', '\\');
    if (keep.count(rel) == 0) stale[rel] = it->path();
  }
  return stale;
}

// Removes `stale`, leftovers of interrupted runs and folders that became empty; returns the
// names of the files removed.
std::vector<std::string> Drop(const fs::path& files, const std::map<std::string, fs::path>& stale) {
  std::vector<std::string> dropped;
  std::error_code ec;
  for (const auto& [name, path] : stale) {
    if (fs::remove(path, ec)) dropped.push_back(name);
  }
  if (!fs::is_directory(files, ec)) return dropped;
  std::vector<fs::path> folders;
  for (auto it = fs::recursive_directory_iterator(files, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (it->is_directory()) {
      folders.push_back(it->path());
    } else if (U8(it->path()).ends_with(kPartSuffix)) {
      fs::remove(it->path(), ec);
    }
  }
  // Deepest first, so a parent sees its children gone.
  std::sort(folders.rbegin(), folders.rend());
  for (const fs::path& folder : folders) {
    if (fs::is_empty(folder, ec)) fs::remove(folder, ec);
  }
  return dropped;
}

// Where a run reads and writes, relative to the output folder.
struct Layout {
  fs::path release;
  fs::path out;
  fs::path files;
  fs::path settings;
  std::optional<fs::path> updater;  // the copy of the new launcher this run writes
  // A signed run with a new launcher: the name it is served under, and where its signature
  // goes (beside the copy, or in outDir to be uploaded beside the launcher).
  std::string updaterName;
  std::optional<fs::path> updaterSignature;
  std::vector<fs::path> lists;  // the lists this run writes
  // The list this run leaves alone; its files stay, since the same files/ serves both lists.
  std::optional<fs::path> other;
};

Layout LayoutOf(const PublishOptions& o) {
  Layout l;
  l.release = PathOfU8(o.releaseDir);
  l.out = PathOfU8(o.outDir);
  l.files = l.out / kFilesFolder;
  l.settings = l.out / "pts" / "Settings.xml";
  // Elsewhere the publisher only vouches for the file; it is not served from here.
  if (!o.updaterFile.empty() && o.updaterUrl.empty()) l.updater = l.out / kUpdaterName;
  if (o.signingKey && !o.updaterFile.empty()) {
    l.updaterName = o.updaterUrl.empty() ? std::string(kUpdaterName) : UrlFileName(o.updaterUrl);
    l.updaterSignature = l.out / (l.updaterName + kSignatureSuffix);
  }
  const fs::path normal = l.out / kPatchListName;
  const fs::path critical = l.out / kCriticalPatchListName;
  if (o.lists != PatchLists::CriticalOnly) l.lists.push_back(normal);
  if (o.lists != PatchLists::NormalOnly) l.lists.push_back(critical);
  if (o.lists == PatchLists::NormalOnly) l.other = critical;
  if (o.lists == PatchLists::CriticalOnly) l.other = normal;
  return l;
}

struct PreviousLists {
  std::map<std::string, Known> known;  // what any list says, for skipping unchanged files
  std::map<std::string, Known> other;  // what the list left alone names
};

PreviousLists ReadPreviousLists(const Layout& l) {
  PreviousLists previous;
  for (const fs::path& path : l.lists) previous.known.merge(ReadList(path));
  if (l.other) previous.other = ReadList(*l.other);
  previous.known.insert(previous.other.begin(), previous.other.end());
  return previous;
}

void DiscardParts(const std::vector<Entry>& entries) {
  std::error_code ignored;
  for (const Entry& e : entries) {
    fs::remove(PartName(e), ignored);
    for (const Delta& d : e.deltas) {
      if (d.fresh) fs::remove(WithSuffix(d.target, kPartSuffix), ignored);
    }
  }
}

std::uint64_t TotalSize(const std::vector<Entry>& entries) {
  std::uint64_t total = 0;
  for (const Entry& e : entries) total += e.size;
  return total;
}

struct Packing {
  std::size_t packed = 0;
  std::uint64_t bytesIn = 0;
  std::uint64_t bytesOut = 0;
  std::size_t deltasWritten = 0;
  std::uint64_t deltaBytes = 0;
};

// Shared by the packing threads.
struct PackCounters {
  std::atomic<std::size_t> done{0}, packed{0};
  std::atomic<std::uint64_t> bytesDone{0}, bytesIn{0}, bytesOut{0};
  std::atomic<std::size_t> deltasWritten{0};
  std::atomic<std::uint64_t> deltaBytes{0};
};

// Sets the entry's CRC-32 and SHA-256 from one read of the release file.
void Digest(Entry& e) {
  try {
    platform::File in = platform::File::OpenRead(U8(e.source), platform::File::Share::ReadWrite);
    std::uint32_t crc = 0xFFFFFFFFu;
    Sha256 sha256;
    std::vector<std::uint8_t> buffer(1 << 20);
    for (std::size_t n; (n = in.Read(buffer.data(), buffer.size())) > 0;) {
      crc = CRC32Update(crc, buffer.data(), n);
      sha256.Update(buffer.data(), n);
    }
    e.crc = CRC32Text(~crc);
    e.sha256 = sha256.HexDigest();
  } catch (const platform::SystemError& error) {
    throw PublishError(Kind::Failed, "cannot read " + Quoted(e.source) + ": " + error.what());
  }
}

// Whether the previous lists and the .lzma on disk already stand for the release file.
bool Current(const Entry& e, const std::map<std::string, Known>& known) {
  const auto k = known.find(e.name);
  if (k == known.end() || k->second.crc != e.crc || k->second.size != e.size) return false;
  if (!k->second.sha256.empty() && k->second.sha256 != e.sha256) return false;
  std::error_code ec;
  if (!fs::is_regular_file(e.target, ec)) return false;
  // A .lzma replaced since the list was written is packed again.
  return !k->second.packed || *k->second.packed == fs::file_size(e.target, ec);
}

// The CRC-32 text and SHA-256 of mapped bytes.
std::pair<std::string, std::string> DigestOf(const platform::FileView& view) {
  const std::uint32_t crc = CRC32Update(0xFFFFFFFFu, view.data(), view.size());
  Sha256 sha256;
  sha256.Update(view.data(), view.size());
  return {CRC32Text(~crc), sha256.HexDigest()};
}

// Level of the deltas' new data; long-distance matching finds what the old file shares
// whatever the level.
constexpr int kDeltaLevel = 12;

// Adds to `e` the delta from the release file `old` when it differs from the new one, is not
// there already, and fits the window; `listed` are the deltas a previous list names for the
// unchanged file, kept when their .zst is still as listed. Writes it under its part name
// (nothing in a dry run) and drops it unless below half the .lzma.
void AddDelta(Entry& e, const fs::path& old, const std::vector<PatchDelta>& listed, bool dryRun,
              PackCounters& c) {
  std::error_code ec;
  if (!fs::is_regular_file(old, ec)) return;
  const std::uintmax_t oldSize = fs::file_size(old, ec);
  if (ec || oldSize + e.size > MaxDeltaSpan()) return;
  try {
    platform::File oldFile = platform::File::OpenRead(U8(old), platform::File::Share::ReadWrite);
    const platform::FileView reference = platform::FileView::Of(oldFile);
    const auto [crc, sha256] = DigestOf(reference);
    if ((crc == e.crc && sha256 == e.sha256) ||
        std::any_of(e.deltas.begin(), e.deltas.end(),
                    [&crc = crc](const Delta& d) { return d.from == crc; })) {
      return;
    }
    const std::string suffix = "." + crc + ".zst";
    Delta d{crc, sha256, 0, WithSuffix(fs::path(e.target).replace_extension(), suffix.c_str())};
    for (const PatchDelta& l : listed) {
      if (l.from == crc && l.sha256 == sha256 && fs::is_regular_file(d.target, ec) &&
          fs::file_size(d.target, ec) == l.packed) {
        d.packed = l.packed;
        e.deltas.push_back(std::move(d));
        return;
      }
    }
    if (dryRun) {
      e.deltas.push_back(std::move(d));
      return;
    }
    platform::File newFile =
        platform::File::OpenRead(U8(e.source), platform::File::Share::ReadWrite);
    const platform::FileView source = platform::FileView::Of(newFile);
    const std::uint32_t newCrc = ~CRC32Update(0xFFFFFFFFu, source.data(), source.size());
    if (source.size() != e.size || CRC32Text(newCrc) != e.crc) {
      throw PublishError(Kind::Failed, Quoted(e.source) + " changed while it was published");
    }
    const fs::path part = WithSuffix(d.target, kPartSuffix);
    fs::create_directories(d.target.parent_path(), ec);
    std::optional<std::uint64_t> size;
    {
      platform::File out = platform::File::Create(U8(part));
      DeltaOptions options;
      options.level = kDeltaLevel;
      // Below half the .lzma, or the full file is as good.
      options.giveUpAbove = e.packedSize / 2;
      size = MakeDelta(reference, source, out, options);
      out.Close();
    }
    if (!size || *size * 2 >= e.packedSize) {
      fs::remove(part, ec);
      return;
    }
    d.packed = *size;
    d.fresh = true;
    ++c.deltasWritten;
    c.deltaBytes += *size;
    e.deltas.push_back(std::move(d));
  } catch (const platform::SystemError& error) {
    throw PublishError(Kind::Failed,
                       "cannot make the delta of " + Quoted(e.source) + ": " + error.what());
  } catch (const DeltaError& error) {
    // Whatever libzstd cannot do here, the full file still serves.
    if (error.kind() == DeltaError::Kind::Io) {
      throw PublishError(Kind::Failed,
                         "cannot make the delta of " + Quoted(e.source) + ": " + error.what());
    }
  }
}

// Sets the entry's digests and packs it, under its part name, unless the previous lists prove
// it current (a dry run only marks it).
void PackOne(Entry& e, const std::map<std::string, Known>& known, const PublishOptions& o,
             PackCounters& c) {
  Digest(e);
  const bool current = Current(e, known);
  if (current) {
    std::error_code ignored;
    e.packedSize = fs::file_size(e.target, ignored);
    c.bytesDone += e.size;
  } else {
    // A dry run only learns what would be packed.
    if (o.dryRun) {
      c.bytesDone += e.size;
    } else {
      e.packedSize = Pack(e, o.preset, c.bytesDone);
      c.bytesOut += e.packedSize;
    }
    e.packed = true;
    c.bytesIn += e.size;
    ++c.packed;
  }
  const auto k = known.find(e.name);
  const std::vector<PatchDelta> none;
  for (const std::string& dir : o.deltaFrom) {
    AddDelta(e, PathOfU8(dir) / e.relative, current && k != known.end() ? k->second.deltas : none,
             o.dryRun, c);
  }
  ++c.done;
}

// Runs PackOne over all entries on the packing threads, showing progress from this one. On
// failure removes the parts and throws the first error.
Packing PackChanged(std::vector<Entry>& entries, const std::map<std::string, Known>& known,
                    const PublishOptions& o,
                    const std::function<void(const PublishProgress&)>& progress,
                    Clock::time_point start) {
  PackCounters c;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex errorMutex;
  std::string firstError;
  Kind firstKind = Kind::Failed;
  auto work = [&] {
    for (std::size_t i; !failed && (i = next++) < entries.size();) {
      try {
        PackOne(entries[i], known, o, c);
      } catch (const std::exception& error) {
        std::lock_guard lock(errorMutex);
        if (firstError.empty()) {
          firstError = error.what();
          if (const auto* p = dynamic_cast<const PublishError*>(&error)) firstKind = p->kind();
        }
        failed = true;
      }
    }
  };
  unsigned jobs = o.jobs ? o.jobs : std::max(1u, std::thread::hardware_concurrency());
  jobs =
      static_cast<unsigned>(std::min<std::size_t>(jobs, std::max<std::size_t>(1, entries.size())));
  {
    std::vector<std::jthread> pool;
    for (unsigned j = 0; j < jobs; ++j) pool.emplace_back(work);
    if (progress) {
      PublishProgress shown;
      shown.filesTotal = entries.size();
      shown.bytesTotal = TotalSize(entries);
      while (c.done < entries.size() && !failed) {
        shown.filesDone = c.done;
        shown.bytesDone = c.bytesDone;
        shown.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        progress(shown);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
    }
  }
  if (failed) {
    DiscardParts(entries);
    throw PublishError(firstKind, firstError);
  }
  return {c.packed, c.bytesIn, c.bytesOut, c.deltasWritten, c.deltaBytes};
}

// The .lzma files that neither the new lists nor the list left alone name.
std::map<std::string, fs::path> PlanDrops(const Layout& l, const std::vector<Entry>& entries,
                                          const PreviousLists& previous) {
  std::set<std::string> keep;
  for (const Entry& e : entries) {
    keep.insert(e.name);
    for (const Delta& d : e.deltas) keep.insert(DeltaName(e.name, d.from));
  }
  for (const auto& [name, k] : previous.other) {
    keep.insert(name);
    for (const PatchDelta& d : k.deltas) keep.insert(DeltaName(name, d.from));
  }
  return StaleFiles(l.files, keep);
}

// Whether each output would change, without writing it.
std::vector<PublishSummary::Output> PlanOutputs(const Layout& l, const std::string& listXml,
                                                const std::string& updater,
                                                const std::string& settingsXml) {
  std::vector<PublishSummary::Output> outputs;
  for (const fs::path& path : l.lists)
    outputs.push_back({U8(path.filename()), !Holds(path, listXml)});
  if (l.updater) outputs.push_back({kUpdaterName, !Holds(*l.updater, updater)});
  outputs.push_back({"Settings.xml", !Holds(l.settings, settingsXml)});
  return outputs;
}

// Signs each output right after writing it, all with the one serial of the run.
class Signer {
 public:
  Signer(const minisign::SecretKey& key, const fs::path& outDir, std::uint64_t serial)
      : key_(key),
        outDir_(outDir),
        serial_(serial),
        time_(std::chrono::duration_cast<std::chrono::seconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count()) {}

  // Writes `signature` (default: beside `file`) over `bytes`, naming `name` (default: the
  // file's own name). Unchanged files are signed too, so every file carries the serial.
  void Sign(const fs::path& file, const std::string& bytes, std::string name = {},
            std::optional<fs::path> signature = {}) {
    if (name.empty()) name = U8(file.filename());
    if (!signature) signature = WithSuffix(file, kSignatureSuffix);
    WriteIfChanged(*signature, ReleaseSignature(key_, bytes, name, serial_, time_));
    written_.push_back(GenericU8(signature->lexically_relative(outDir_)));
  }
  const std::vector<std::string>& written() const { return written_; }

 private:
  const minisign::SecretKey& key_;
  fs::path outDir_;
  std::uint64_t serial_;
  std::int64_t time_;
  std::vector<std::string> written_;
};

// A file the settings document points at that this run leaves as it is: the list left alone
// and, behind the default updater URL, an earlier run's copy of the launcher.
struct CarriedOver {
  fs::path file;
  std::string bytes;
  bool vouched = false;  // its signature is this key's: it gets the run's serial too
};

std::vector<CarriedOver> CarriedOverOutputs(const Layout& l, const PublishOptions& o) {
  std::vector<CarriedOver> carried;
  if (!o.signingKey) return carried;
  std::vector<fs::path> files;
  if (l.other) files.push_back(*l.other);
  if (o.updaterFile.empty() && o.updaterUrl.empty()) files.push_back(l.out / kUpdaterName);
  for (const fs::path& file : files) {
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) continue;
    CarriedOver c{file, ReadText(file)};
    // Only what this key signed before is signed again: a file of unknown origin stays
    // unvouched.
    try {
      minisign::Verify(o.signingKey->Public(), ReadText(WithSuffix(file, kSignatureSuffix)),
                       c.bytes);
      c.vouched = true;
    } catch (const minisign::SignatureError&) {
    }
    carried.push_back(std::move(c));
  }
  return carried;
}

// The signatures a signed run writes, as Signer names them.
std::vector<std::string> PlannedSignatures(const Layout& l,
                                           const std::vector<CarriedOver>& carried) {
  std::vector<std::string> names;
  auto add = [&](const fs::path& signature) {
    names.push_back(GenericU8(signature.lexically_relative(l.out)));
  };
  for (const fs::path& path : l.lists) add(WithSuffix(path, kSignatureSuffix));
  for (const CarriedOver& c : carried) {
    if (c.vouched) add(WithSuffix(c.file, kSignatureSuffix));
  }
  if (l.updaterSignature) add(*l.updaterSignature);
  add(WithSuffix(l.settings, kSignatureSuffix));
  return names;
}

// Renames the packed files into place, then writes the lists and the settings document, each
// followed by its signature when `signer` is given.
std::vector<PublishSummary::Output> CommitOutputs(
    const Layout& l, const std::vector<Entry>& entries, const std::string& listXml,
    const std::string& updater, const std::string& settingsXml,
    const std::vector<CarriedOver>& carried, Signer* signer) {
  // The new .lzma files replace the old ones only once all are packed: a failed run leaves
  // the previous patch set as it was.
  for (const Entry& e : entries) {
    std::error_code ec;
    if (e.packed) fs::rename(PartName(e), e.target, ec);
    for (const Delta& d : e.deltas) {
      if (!ec && d.fresh) fs::rename(WithSuffix(d.target, kPartSuffix), d.target, ec);
    }
    if (ec) {
      DiscardParts(entries);
      throw PublishError(Kind::Failed, "cannot write " + Quoted(e.target) + ": " + ec.message());
    }
  }
  // The lists go out only once every file they name is in place.
  std::vector<PublishSummary::Output> outputs;
  for (const fs::path& path : l.lists) {
    outputs.push_back({U8(path.filename()), WriteIfChanged(path, listXml)});
    if (signer) signer->Sign(path, listXml);
  }
  // So that every file the settings document names carries the serial it does.
  for (const CarriedOver& c : carried) {
    if (signer && c.vouched) signer->Sign(c.file, c.bytes);
  }
  // The launcher before the document that announces its digest.
  if (l.updater) outputs.push_back({kUpdaterName, WriteIfChanged(*l.updater, updater)});
  if (signer && l.updaterSignature) {
    signer->Sign(l.updater.value_or(l.out / l.updaterName), updater, l.updaterName,
                 l.updaterSignature);
  }
  outputs.push_back({"Settings.xml", WriteIfChanged(l.settings, settingsXml)});
  if (signer) signer->Sign(l.settings, settingsXml);
  return outputs;
}

// An unsigned run's outputs that it changed beside a signature that no longer matches.
std::vector<std::string> StaleSignatures(const Layout& l,
                                         const std::vector<PublishSummary::Output>& outputs) {
  std::vector<std::string> stale;
  std::vector<fs::path> files = l.lists;
  if (l.updater) files.push_back(*l.updater);
  files.push_back(l.settings);
  for (const fs::path& file : files) {
    const std::string name = U8(file.filename());
    const bool changed = std::any_of(outputs.begin(), outputs.end(), [&](const auto& output) {
      return output.name == name && output.written;
    });
    const fs::path signature = WithSuffix(file, kSignatureSuffix);
    std::error_code ec;
    if (changed && fs::exists(signature, ec)) {
      stale.push_back(GenericU8(signature.lexically_relative(l.out)));
    }
  }
  return stale;
}

PublishSummary Summarize(const std::vector<Entry>& entries, const Packing& packing) {
  PublishSummary summary;
  summary.files = entries.size();
  summary.packed = packing.packed;
  summary.unchanged = entries.size() - packing.packed;
  summary.bytesIn = packing.bytesIn;
  summary.bytesOut = packing.bytesOut;
  summary.deltasWritten = packing.deltasWritten;
  summary.deltaBytes = packing.deltaBytes;
  for (const Entry& e : entries) {
    (e.packed ? summary.packedNames : summary.unchangedNames).push_back(e.name);
    for (const Delta& d : e.deltas) summary.deltaNames.push_back(e.name + " from " + d.from);
  }
  return summary;
}

// The name of the list left alone when the output folder lacks it; empty otherwise.
std::string MissingList(const Layout& l) {
  std::error_code ec;
  return l.other && !fs::exists(*l.other, ec) ? U8(l.other->filename()) : std::string();
}

PublishProgress Finished(const std::vector<Entry>& entries, double seconds) {
  PublishProgress shown;
  shown.filesDone = shown.filesTotal = entries.size();
  shown.bytesDone = shown.bytesTotal = TotalSize(entries);
  shown.seconds = seconds;
  return shown;
}

}  // namespace

std::string EscapeXml(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      if (b < 0x20 || b == 0x7F)
        throw PublishError(Kind::Refused, "a control character cannot be written");
      switch (b) {
        case '&':
          out += "&amp;";
          break;
        case '<':
          out += "&lt;";
          break;
        case '>':
          out += "&gt;";
          break;
        case '"':
          out += "&quot;";
          break;
        case '\'':
          out += "&apos;";
          break;
        default:
          out += static_cast<char>(b);
      }
      ++i;
      continue;
    }
    const platform::Utf8Char c = platform::DecodeUtf8(s, i);
    if (!c.valid) throw PublishError(Kind::Refused, "the text is not UTF-8");
    if (c.code > 0xFFFE) {
      throw PublishError(Kind::Refused, "a character above U+FFFE cannot be written");
    }
    out += "&#" + std::to_string(c.code) + ";";
    i += c.length;
  }
  return out;
}

std::string SettingsXml(const PublishOptions& o, const std::string& updaterSha256) {
  const std::string base = BaseUrl(o.baseUrl);
  const std::string updater = o.updaterUrl.empty() ? base + "/" + kUpdaterName : o.updaterUrl;
  auto element = [](const std::string& name, const std::string& value) {
    return "  <" + name + ">" + value + "</" + name + ">\n";
  };
  auto flag = [](bool value) { return std::string(value ? "true" : "false"); };
  // Values sit directly between their tags: the launcher reads blanks as part of them.
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<settings>\n" +
         element("version", std::to_string(o.version)) +
         element("patchlistURL", EscapeXml(base + "/" + kPatchListName)) +
         element("criticalPatchlistURL", EscapeXml(base + "/" + kCriticalPatchListName)) +
         element("patchListFolder", EscapeXml(base + "/" + kFilesFolder + "/")) +
         element("updaterURL", EscapeXml(updater)) +
         (updaterSha256.empty() ? std::string() : element("updaterSHA256", updaterSha256)) +
         element("criticalVersion", std::to_string(o.criticalVersion)) +
         element("autoStartClient", flag(o.autoStartClient)) +
         element("doubleRunCheck", flag(o.doubleRunCheck)) +
         element("closeUpdaterAfterStartinGame", flag(o.closeUpdaterAfterStartinGame)) +
         "</settings>\n";
}

PublishSummary Publish(const PublishOptions& o,
                       const std::function<void(const PublishProgress&)>& progress) {
  const auto start = Clock::now();
  CheckOptions(o);
  const Layout layout = LayoutOf(o);
  CheckFolders(layout.release, layout.out);
  // Before any packing: a refused launcher leaves nothing behind.
  const std::string updater =
      o.updaterFile.empty() ? std::string() : ReadUpdater(PathOfU8(o.updaterFile));
  // Likewise an unusable serial file.
  const std::uint64_t serial = o.signingKey ? NextSerial(layout.out, *o.signingKey) : 0;

  std::vector<Entry> entries = ScanRelease(layout.release, layout.files);
  const PreviousLists previous = ReadPreviousLists(layout);
  const Packing packing = PackChanged(entries, previous.known, o, progress, start);
  const std::map<std::string, fs::path> stale = PlanDrops(layout, entries, previous);
  const std::string listXml = PatchListXml(entries);
  const std::string settingsXml =
      SettingsXml(o, o.updaterFile.empty() ? std::string() : Sha256Hex(updater));

  PublishSummary summary = Summarize(entries, packing);
  summary.missingList = MissingList(layout);
  summary.serial = serial;
  const std::vector<CarriedOver> carried = CarriedOverOutputs(layout, o);
  for (const CarriedOver& c : carried) {
    if (!c.vouched) summary.unsignedFiles.push_back(U8(c.file.filename()));
  }
  summary.launcherUnsigned =
      o.signingKey && o.updaterFile.empty() && o.version > 1 &&
      std::none_of(carried.begin(), carried.end(), [&](const CarriedOver& c) {
        return c.vouched && c.file == layout.out / kUpdaterName;
      });
  if (o.dryRun) {
    summary.outputs = PlanOutputs(layout, listXml, updater, settingsXml);
    if (o.signingKey) summary.signatures = PlannedSignatures(layout, carried);
    for (const auto& [name, path] : stale) summary.droppedNames.push_back(name);
  } else {
    std::optional<Signer> signer;
    if (o.signingKey) {
      // Stored before any signature carries it: a failed run uses up its serial rather than
      // handing the next run one that launchers may have seen already.
      StoreSerial(layout.out, summary.serial);
      signer.emplace(*o.signingKey, layout.out, summary.serial);
    }
    summary.outputs = CommitOutputs(layout, entries, listXml, updater, settingsXml, carried,
                                    signer ? &*signer : nullptr);
    if (signer) {
      summary.signatures = signer->written();
    } else {
      summary.staleSignatures = StaleSignatures(layout, summary.outputs);
    }
    summary.droppedNames = Drop(layout.files, stale);
  }
  summary.dropped = summary.droppedNames.size();
  summary.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (progress) progress(Finished(entries, summary.seconds));
  return summary;
}

}  // namespace kestrune
