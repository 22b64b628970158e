#include "Publisher.h"

#include <lzma.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "CRC32.h"
#include "Platform.h"
#include "ThreadManager.h"
#include "Utf8.h"
#include "xml/XmlDocument.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kPartSuffix = ".publishing";

// What the previous lists said about a file.
struct Known {
  std::string crc;
  std::uint64_t size = 0;
};

struct Entry {
  std::string name;  // "\" separated, as the list writes it
  fs::path source;
  fs::path target;  // the .lzma
  std::uint64_t size = 0;
  std::string crc;
  bool packed = false;
};

std::string U8(const fs::path& path) {
  const std::u8string s = path.u8string();
  return {s.begin(), s.end()};
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Writes through a temporary name beside `path`, so a reader never sees a partial file.
// Returns false when the file already holds exactly `bytes`.
bool WriteIfChanged(const fs::path& path, const std::string& bytes) {
  std::error_code ec;
  if (fs::is_regular_file(path, ec) && fs::file_size(path, ec) == bytes.size() &&
      ReadText(path) == bytes) {
    return false;
  }
  fs::create_directories(path.parent_path(), ec);
  const fs::path part = path.string() + kPartSuffix;
  {
    std::ofstream out(part, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      fs::remove(part, ec);
      throw PublishError("cannot write \"" + U8(path) + "\"");
    }
  }
  fs::rename(part, path, ec);
  if (ec) {
    fs::remove(part, ec);
    throw PublishError("cannot write \"" + U8(path) + "\": " + ec.message());
  }
  return true;
}

// The entries of a list written before, by file name; empty when it is missing or unreadable
// (then every file is packed again).
std::map<std::string, Known> ReadList(const fs::path& path) {
  std::map<std::string, Known> known;
  const std::string text = ReadText(path);
  if (text.empty()) return known;
  try {
    XmlDocument doc;
    doc.Parse(text);
    std::vector<XmlElement> archives;
    doc.Root().FindElements("archive", archives);
    for (const XmlElement& a : archives) {
      Known k{a.Attribute("original"), 0};
      try {
        k.size = std::stoull(a.Attribute("size"));
      } catch (...) {
        continue;  // without its size the entry proves nothing
      }
      known[a.Attribute("filename")] = k;
    }
  } catch (...) {
    known.clear();
  }
  return known;
}

std::string PartName(const Entry& e) {
  return e.target.string() + kPartSuffix;
}

struct LzmaStream {
  lzma_stream s = LZMA_STREAM_INIT;
  ~LzmaStream() { lzma_end(&s); }
};

// Packs `source` into PartName(e) as LZMA-alone with the size in the header and no end
// marker; returns the .lzma size. The CRC of what was read must equal `crc`, so a file that
// changes while it is published fails instead of being listed wrongly.
std::uint64_t Pack(const Entry& e, int preset, std::atomic<std::uint64_t>& bytesDone) {
  lzma_options_lzma opt{};
  if (lzma_lzma_preset(&opt, static_cast<std::uint32_t>(preset))) {
    throw PublishError("unsupported preset " + std::to_string(preset));
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
    throw PublishError("cannot set up the encoder for \"" + U8(e.source) + "\"");
  }

  std::error_code ec;
  fs::create_directories(e.target.parent_path(), ec);
  const std::string part = PartName(e);
  std::uint64_t written = 0;
  try {
    platform::File in =
        platform::File::OpenRead(e.source.string(), platform::File::Share::ReadWrite);
    platform::File out = platform::File::Create(part);

    std::uint8_t header[13];
    header[0] = static_cast<std::uint8_t>((opt.pb * 5 + opt.lp) * 9 + opt.lc);
    for (int i = 0; i < 4; ++i) header[1 + i] = static_cast<std::uint8_t>(opt.dict_size >> (8 * i));
    for (int i = 0; i < 8; ++i) header[5 + i] = static_cast<std::uint8_t>(e.size >> (8 * i));
    out.Write(header, sizeof header);
    written += sizeof header;

    std::vector<std::uint8_t> inBuf(1 << 20), outBuf(1 << 20);
    std::uint32_t crc = 0xFFFFFFFFu;
    std::uint64_t read = 0;
    bool eof = false;
    for (;;) {
      if (z.s.avail_in == 0 && !eof) {
        const std::size_t n = in.Read(inBuf.data(), inBuf.size());
        eof = n == 0;
        crc = CRC32Update(crc, inBuf.data(), n);
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
      if (ret != LZMA_OK) throw PublishError("encoding \"" + U8(e.source) + "\" failed");
    }
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(~crc));
    if (read != e.size || hex != e.crc) {
      throw PublishError("\"" + U8(e.source) + "\" changed while it was published");
    }
    out.Close();
  } catch (const platform::SystemError& error) {
    fs::remove(part, ec);
    throw PublishError("cannot pack \"" + U8(e.source) + "\": " + error.what());
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

// The release's files, sorted by name; refuses names the launcher could not fetch or place.
std::vector<Entry> ScanRelease(const fs::path& release, const fs::path& files) {
  std::vector<Entry> entries;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(release, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (it->is_directory()) continue;
    const fs::path relative = it->path().lexically_relative(release);
    std::string name = U8(relative.generic_string());
    if (name.find('\\') != std::string::npos) {
      throw PublishError("\"" + U8(it->path()) +
                         "\": the launcher separates folders with \\, so the name cannot hold one");
    }
    std::replace(name.begin(), name.end(), '/', '\\');
    if (name.find_first_of("%?#") != std::string::npos || !IsSafePatchName(name)) {
      throw PublishError("\"" + U8(it->path()) +
                         "\": the launcher cannot fetch a file of this name");
    }
    EscapeXml(name);  // refuses what the list could not carry
    Entry e;
    e.name = name;
    e.source = it->path();
    e.target = files / (relative.string() + ".lzma");
    entries.push_back(std::move(e));
  }
  if (ec) throw PublishError("cannot read \"" + U8(release) + "\": " + ec.message());
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return entries;
}

std::string PatchListXml(const std::vector<Entry>& entries) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<patchlist>\n";
  for (const Entry& e : entries) {
    // "size" is the publisher's own: the launcher reads only filename and original.
    xml += "  <archive filename=\"" + EscapeXml(e.name) + "\" original=\"" + e.crc + "\" size=\"" +
           std::to_string(e.size) + "\"/>\n";
  }
  xml += "</patchlist>\n";
  return xml;
}

// Removes .lzma files no list names any more, leftovers of interrupted runs and folders that
// became empty.
std::size_t Drop(const fs::path& files, const std::set<std::string>& keep) {
  std::size_t dropped = 0;
  std::error_code ec;
  if (!fs::is_directory(files, ec)) return 0;
  std::vector<fs::path> folders;
  for (auto it = fs::recursive_directory_iterator(files, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (it->is_directory()) {
      folders.push_back(it->path());
      continue;
    }
    std::string rel = U8(it->path().lexically_relative(files).generic_string());
    if (rel.ends_with(kPartSuffix)) {
      fs::remove(it->path(), ec);
      continue;
    }
    if (!rel.ends_with(".lzma")) continue;
    rel.resize(rel.size() - 5);
    std::replace(rel.begin(), rel.end(), '/', '\\');
    if (keep.count(rel) == 0 && fs::remove(it->path(), ec)) ++dropped;
  }
  // Deepest first, so a parent sees its children gone.
  std::sort(folders.rbegin(), folders.rend());
  for (const fs::path& folder : folders) {
    if (fs::is_empty(folder, ec)) fs::remove(folder, ec);
  }
  return dropped;
}

}  // namespace

std::string EscapeXml(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      if (b < 0x20 || b == 0x7F) throw PublishError("a control character cannot be written");
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
    if (!c.valid) throw PublishError("the text is not UTF-8");
    if (c.code > 0xFFFE) throw PublishError("a character above U+FFFE cannot be written");
    out += "&#" + std::to_string(c.code) + ";";
    i += c.length;
  }
  return out;
}

std::string SettingsXml(const PublishOptions& o) {
  const std::string base = BaseUrl(o.baseUrl);
  const std::string updater = o.updaterUrl.empty() ? base + "/KestruneUpdater.exe" : o.updaterUrl;
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
         element("criticalVersion", std::to_string(o.criticalVersion)) +
         element("autoStartClient", flag(o.autoStartClient)) +
         element("doubleRunCheck", flag(o.doubleRunCheck)) +
         element("closeUpdaterAfterStartinGame", flag(o.closeUpdaterAfterStartinGame)) +
         "</settings>\n";
}

PublishSummary Publish(const PublishOptions& o,
                       const std::function<void(const PublishProgress&)>& progress) {
  const auto start = Clock::now();
  if (o.preset < 0 || o.preset > 9) throw PublishError("the preset must be 0..9");
  if (o.baseUrl.empty()) throw PublishError("a base URL is needed");
  const fs::path release = fs::path(o.releaseDir);
  const fs::path out = fs::path(o.outDir);
  std::error_code ec;
  if (!fs::is_directory(release, ec)) {
    throw PublishError("\"" + o.releaseDir + "\" is not a folder");
  }
  const fs::path releaseAbs = fs::weakly_canonical(release, ec);
  const fs::path outAbs = fs::weakly_canonical(out, ec);
  const auto [mismatch, rest] =
      std::mismatch(releaseAbs.begin(), releaseAbs.end(), outAbs.begin(), outAbs.end());
  if (mismatch == releaseAbs.end()) {
    throw PublishError("the output folder must not lie inside the release folder");
  }

  const fs::path files = out / kFilesFolder;
  const fs::path listPath = out / (o.critical ? kCriticalPatchListName : kPatchListName);
  const fs::path otherPath = out / (o.critical ? kPatchListName : kCriticalPatchListName);
  std::vector<Entry> entries = ScanRelease(release, files);
  std::map<std::string, Known> known = ReadList(listPath);
  const std::map<std::string, Known> other = ReadList(otherPath);
  known.insert(other.begin(), other.end());  // the same files/ folder serves both lists

  PublishProgress shown;
  shown.filesTotal = entries.size();
  for (Entry& e : entries) {
    e.size = fs::file_size(e.source, ec);
    if (ec) throw PublishError("cannot read \"" + U8(e.source) + "\": " + ec.message());
    shown.bytesTotal += e.size;
  }

  std::atomic<std::size_t> next{0}, done{0}, packed{0};
  std::atomic<std::uint64_t> bytesDone{0}, bytesIn{0}, bytesOut{0};
  std::atomic<bool> failed{false};
  std::mutex errorMutex;
  std::string firstError;
  auto work = [&] {
    for (std::size_t i; !failed && (i = next++) < entries.size();) {
      Entry& e = entries[i];
      try {
        try {
          e.crc = CRC32File(e.source.string());
        } catch (const platform::SystemError& error) {
          throw PublishError("cannot read \"" + U8(e.source) + "\": " + error.what());
        }
        const auto k = known.find(e.name);
        std::error_code ignored;
        const bool current = k != known.end() && k->second.crc == e.crc &&
                             k->second.size == e.size && fs::is_regular_file(e.target, ignored);
        if (current) {
          bytesDone += e.size;
        } else {
          bytesOut += Pack(e, o.preset, bytesDone);
          e.packed = true;
          bytesIn += e.size;
          ++packed;
        }
        ++done;
      } catch (const std::exception& error) {
        std::lock_guard lock(errorMutex);
        if (firstError.empty()) firstError = error.what();
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
      while (done < entries.size() && !failed) {
        shown.filesDone = done;
        shown.bytesDone = bytesDone;
        shown.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        progress(shown);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
    }
  }
  // The new .lzma files replace the old ones only once all are packed: a failed run leaves
  // the previous patch set as it was.
  auto discard = [&] {
    std::error_code ignored;
    for (const Entry& e : entries) fs::remove(PartName(e), ignored);
  };
  if (failed) {
    discard();
    throw PublishError(firstError);
  }
  for (const Entry& e : entries) {
    if (!e.packed) continue;
    fs::rename(PartName(e), e.target, ec);
    if (ec) {
      discard();
      throw PublishError("cannot write \"" + U8(e.target) + "\": " + ec.message());
    }
  }

  PublishSummary summary;
  summary.files = entries.size();
  summary.packed = packed;
  summary.unchanged = entries.size() - packed;
  summary.bytesIn = bytesIn;
  summary.bytesOut = bytesOut;
  // The list goes out only once every file it names is in place.
  summary.listWritten = WriteIfChanged(listPath, PatchListXml(entries));
  summary.settingsWritten = WriteIfChanged(out / "pts" / "Settings.xml", SettingsXml(o));

  std::set<std::string> keep;
  for (const Entry& e : entries) keep.insert(e.name);
  for (const auto& [name, k] : other) keep.insert(name);
  summary.dropped = Drop(files, keep);
  summary.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (progress) {
    shown.filesDone = entries.size();
    shown.bytesDone = shown.bytesTotal;
    shown.seconds = summary.seconds;
    progress(shown);
  }
  return summary;
}

}  // namespace kestrune
