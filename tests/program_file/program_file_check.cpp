// Checks a built korvex_tool.exe as a file, with no Windows and no Wine: the PE headers (machine,
// GUI subsystem), the eleven icon groups, the manifest with its own architecture, and the version
// block. It runs wherever the program is built, also where the program itself cannot run.
//
//   korvex-program-file-check PROGRAM.exe x86|amd64
//
// Prints every failed check and exits 1 if there was one.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

int failures = 0;

void Check(bool holds, const std::string &what) {
  if (holds) return;
  std::printf("FAILED: %s\n", what.c_str());
  ++failures;
}

// Little-endian reads that yield 0 past the end, so that a damaged file fails checks instead
// of reading out of bounds.
struct Bytes {
  std::string data;
  uint32_t U16(size_t at) const {
    return at + 2 <= data.size() ? uint8_t(data[at]) | uint8_t(data[at + 1]) << 8 : 0;
  }
  uint32_t U32(size_t at) const { return U16(at) | U16(at + 2) << 16; }
};

// PE layout: the offsets of the fields read here.
constexpr size_t kNewHeaderOffset = 0x3C;       // e_lfanew in the DOS header
constexpr size_t kMachine = 4;                  // from the PE signature
constexpr size_t kSectionCount = 6;
constexpr size_t kOptionalHeaderSize = 20;
constexpr size_t kOptionalHeader = 24;
constexpr size_t kSubsystem = 68;               // in the optional header, both forms
constexpr size_t kDataDirectories32 = 96, kDataDirectories64 = 112;
constexpr size_t kResourceDirectory = 2 * 8;    // third data directory
constexpr uint32_t kMachineI386 = 0x14C, kMachineAmd64 = 0x8664;
constexpr uint32_t kMagicPe32 = 0x10B, kMagicPe32Plus = 0x20B;
constexpr uint32_t kSubsystemGui = 2;
constexpr uint32_t kTypeIcon = 3, kTypeGroupIcon = 14, kTypeVersion = 16, kTypeManifest = 24;

class ProgramFile {
 public:
  explicit ProgramFile(Bytes bytes) : bytes_(std::move(bytes)) {
    if (bytes_.U16(0) != 0x5A4D) return;  // "MZ"
    pe_ = bytes_.U32(kNewHeaderOffset);
    if (bytes_.U32(pe_) != 0x4550) return;  // "PE\0\0"
    valid_ = true;
    const size_t optional = pe_ + kOptionalHeader;
    const size_t directories =
        optional + (Magic() == kMagicPe32Plus ? kDataDirectories64 : kDataDirectories32);
    resourceRva_ = bytes_.U32(directories + kResourceDirectory);
    sections_ = optional + bytes_.U16(pe_ + kOptionalHeaderSize);
  }

  bool Valid() const { return valid_; }
  uint32_t Machine() const { return bytes_.U16(pe_ + kMachine); }
  uint32_t Magic() const { return bytes_.U16(pe_ + kOptionalHeader); }
  uint32_t Subsystem() const { return bytes_.U16(pe_ + kOptionalHeader + kSubsystem); }

  // The data of resource type/id (first language), or "" when there is none.
  std::string Resource(uint32_t type, uint32_t id) const {
    const size_t base = FileOffset(resourceRva_);
    if (!resourceRva_ || !base) return {};
    size_t level = base;
    for (uint32_t wanted : {type, id, 0u}) {
      const uint32_t named = bytes_.U16(level + 12), ids = bytes_.U16(level + 14);
      size_t next = 0;
      for (uint32_t i = 0; i < named + ids; ++i) {
        const size_t entry = level + 16 + 8 * size_t(i);
        const uint32_t name = bytes_.U32(entry);
        if (wanted == 0 ? i == 0 : (!(name & 0x80000000u) && name == wanted)) {
          next = bytes_.U32(entry + 4);
          break;
        }
      }
      if (!next) return {};
      if (wanted == 0) {  // language level: the data entry
        const size_t data = base + (next & 0x7FFFFFFFu);
        const size_t at = FileOffset(bytes_.U32(data));
        const size_t size = bytes_.U32(data + 4);
        if (!at || at + size > bytes_.data.size()) return {};
        return bytes_.data.substr(at, size);
      }
      if (!(next & 0x80000000u)) return {};
      level = base + (next & 0x7FFFFFFFu);
    }
    return {};
  }

 private:
  size_t FileOffset(uint32_t rva) const {
    for (uint32_t i = 0; i < bytes_.U16(pe_ + kSectionCount); ++i) {
      const size_t section = sections_ + 40 * size_t(i);
      const uint32_t address = bytes_.U32(section + 12);
      const uint32_t size = std::max(bytes_.U32(section + 8), bytes_.U32(section + 16));
      if (rva >= address && rva < address + size) {
        return rva - address + bytes_.U32(section + 20);
      }
    }
    return 0;
  }

  Bytes bytes_;
  bool valid_ = false;
  size_t pe_ = 0, sections_ = 0;
  uint32_t resourceRva_ = 0;
};

// Walks a version block (nodes of length, value length, type, UTF-16 key, value, children, each
// part aligned to 4 bytes) into "key/key/key" -> text of the string values.
void WalkVersionNode(const Bytes &block, size_t at, size_t end, const std::string &path,
                     std::map<std::string, std::string> &values, uint32_t fixed[4]) {
  while (at + 6 <= end) {
    const size_t length = block.U16(at), valueLength = block.U16(at + 2);
    const bool text = block.U16(at + 4) == 1;
    if (length < 6 || at + length > end) return;
    std::string key;
    size_t p = at + 6;
    for (; p + 2 <= at + length && block.U16(p); p += 2) key += char(block.U16(p));
    p = (p + 2 + 3) & ~size_t(3);
    const std::string name = path.empty() ? key : path + "/" + key;
    const size_t valueBytes = text ? 2 * valueLength : valueLength;
    if (text) {
      std::string value;
      for (size_t q = p; q + 2 <= p + valueBytes && block.U16(q); q += 2) value += char(block.U16(q));
      values[name] = value;
    } else if (key == "VS_VERSION_INFO" && valueLength >= 52 && block.U32(p) == 0xFEEF04BDu) {
      for (int i = 0; i < 4; ++i) fixed[i] = block.U32(p + 8 + 4 * i);
    }
    const size_t children = (p + valueBytes + 3) & ~size_t(3);
    WalkVersionNode(block, children, at + length, name, values, fixed);
    at = (at + length + 3) & ~size_t(3);
  }
}

void CheckHeaders(const ProgramFile &program, bool is64) {
  Check(program.Machine() == (is64 ? kMachineAmd64 : kMachineI386),
        is64 ? "machine is x86_64 (0x8664)" : "machine is i386 (0x14C)");
  Check(program.Magic() == (is64 ? kMagicPe32Plus : kMagicPe32),
        is64 ? "optional header is PE32+" : "optional header is PE32");
  Check(program.Subsystem() == kSubsystemGui, "subsystem is the Windows GUI");
}

void CheckIcons(const ProgramFile &program) {
  for (uint32_t id = 201; id <= 211; ++id) {
    const std::string group = program.Resource(kTypeGroupIcon, id);
    const std::string name = "icon group " + std::to_string(id);
    Bytes dir{group};
    Check(group.size() >= 6 && dir.U16(2) == 1 && group.size() >= 6 + 14 * size_t(dir.U16(4)),
          name + " is present and whole");
    bool has16 = false, has32 = false;
    for (uint32_t i = 0; group.size() >= 6 + 14 * size_t(i + 1) && i < dir.U16(4); ++i) {
      const size_t entry = 6 + 14 * size_t(i);
      const uint32_t width = uint8_t(group[entry]), bits = dir.U16(entry + 6);
      Check(bits == 32, name + " holds 32-bit images only");
      has16 = has16 || width == 16;
      has32 = has32 || width == 32;
      Bytes image{program.Resource(kTypeIcon, dir.U16(entry + 12))};
      // An icon image is a bitmap (header of 40 bytes, twice the height for the mask) or a PNG.
      const bool bitmap = image.U32(0) == 40 && image.U32(4) == width && image.U32(8) == 2 * width;
      const bool png = image.data.compare(0, 4, "\x89PNG") == 0;
      Check(bitmap || png, name + " image " + std::to_string(i) + " is a " +
                               std::to_string(width) + "-pixel image");
    }
    Check(has16 && has32, name + " has 16x16 and 32x32 images");
  }
  Check(program.Resource(kTypeGroupIcon, 212).empty(), "no icon group beyond 211");
}

void CheckManifest(const ProgramFile &program, const std::string &architecture) {
  const std::string manifest = program.Resource(kTypeManifest, 1);
  Check(!manifest.empty(), "manifest (resource 1) is present");
  // The program's own identity comes first; the common-controls dependency names "*".
  const size_t own = manifest.find("<assemblyIdentity");
  const std::string identity =
      own == std::string::npos ? "" : manifest.substr(own, manifest.find("/>", own) - own);
  Check(identity.find("processorArchitecture=\"" + architecture + "\"") != std::string::npos,
        "manifest's own identity names processorArchitecture=\"" + architecture + "\"");
  for (const char *needed : {
           "level=\"asInvoker\"", "uiAccess=\"false\"",
           "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"", ">True</dpiAware>",
           "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  // Vista
           "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // 7
           "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // 8
           "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // 8.1
           "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // 10
       }) {
    Check(manifest.find(needed) != std::string::npos, std::string("manifest holds ") + needed);
  }
}

void CheckVersionBlock(const ProgramFile &program) {
  const Bytes block{program.Resource(kTypeVersion, 1)};
  std::map<std::string, std::string> values;
  uint32_t fixed[4] = {};
  WalkVersionNode(block, 0, block.data.size(), "", values, fixed);
  Check(fixed[0] == 0x00020009 && fixed[1] == 0x00010000, "file version 2.9.1.0");
  Check(fixed[2] == 0x00020009 && fixed[3] == 0x00010000, "product version 2.9.1.0");
  const std::map<std::string, std::string> expected = {
      {"FileVersion", "2.9.1.0"},          {"FileDescription", "Korvex Firmware Tool"},
      {"ProductName", "Korvex_tool"},      {"ProductVersion", "2.91"},
      {"CompanyName", "Korvex"},           {"OriginalFilename", "korvex_tool.exe"},
      {"LegalCopyright", "Copyright (C) Korvex"}};
  for (const auto &[key, value] : expected) {
    const auto found = values.find("VS_VERSION_INFO/StringFileInfo/040904B0/" + key);
    Check(found != values.end() && found->second == value,
          "version string " + key + " is \"" + value + "\"");
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3 || (std::string(argv[2]) != "x86" && std::string(argv[2]) != "amd64")) {
    std::fprintf(stderr, "usage: korvex-program-file-check PROGRAM.exe x86|amd64\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  Bytes bytes{std::string(std::istreambuf_iterator<char>(in), {})};
  const ProgramFile program(std::move(bytes));
  Check(program.Valid(), std::string(argv[1]) + " is a PE file");
  if (program.Valid()) {
    const std::string architecture = argv[2];
    CheckHeaders(program, architecture == "amd64");
    CheckIcons(program);
    CheckManifest(program, architecture);
    CheckVersionBlock(program);
  }
  std::printf("%s: %s\n", argv[1], failures ? "checks failed" : "every check passed");
  return failures ? 1 : 0;
}
