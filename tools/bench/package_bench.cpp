// korvex-package-bench: decode speed and memory of the single-image package path.
//
// Builds a single-image package of firmware-like data (256 MiB inflated by default) and, beside
// it, a file of the same zlib blocks without encryption. Then it times, in fresh processes and
// alternately, the program's decode path (the whole-file walk: read, DecryptBlockHead,
// InflateBlock, every block) and bare zlib inflate of the same blocks, and prints both
// throughputs, their ratio and each process's peak resident memory. A smaller package is decoded
// too, to show that the peak does not grow with the file.
//
//   korvex-package-bench [--mib N] [--block-size BYTES] [--rounds N]
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "file_source.h"
#include "firmware/package.h"
#include "firmware/package_builder.h"
#include "firmware/package_reader.h"

namespace {

const unsigned char *const kProductCode = reinterpret_cast<const unsigned char *>("KX7300EU01");

// ---- Test data --------------------------------------------------------------------------------

// Code-like bytes: a few frequent opcodes and operands among noise, some zero runs and text;
// zlib takes it to about 40% of its size, as it does real firmware.
void FillFirmwareLike(unsigned char *out, size_t length, uint64_t *state) {
  static const unsigned char kOpcodes[] = {0x00, 0x01, 0x20, 0x4C, 0x8B, 0xE8, 0xFF, 0x48};
  uint64_t x = *state;
  size_t i = 0;
  while (i < length) {
    x ^= x << 13; x ^= x >> 7; x ^= x << 17;
    const unsigned kind = x & 31;
    if (kind == 0) {  // a zero run
      const size_t n = std::min<size_t>(length - i, 8 + (x >> 8) % 120);
      std::memset(out + i, 0, n);
      i += n;
    } else if (kind == 1) {  // a string
      static const char kText[] = "PJL firmware segment checksum error retry ";
      const size_t n = std::min<size_t>(length - i, (x >> 8) % (sizeof kText - 1) + 1);
      std::memcpy(out + i, kText, n);
      i += n;
    } else {
      for (int k = 0; k < 6 && i < length; ++k, ++i) {
        const unsigned r = static_cast<unsigned>(x >> (8 + 8 * k)) & 0xFF;
        out[i] = (r & 3) != 0 ? kOpcodes[r >> 5] : static_cast<unsigned char>(r);
      }
    }
  }
  *state = x;
}

bool WriteBytes(std::FILE *f, const PackageBytes &bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
}

// The package and its bare twin: the same block_length framing and zlib streams, but no header
// and no encryption, so that bare inflate reads the file the same way.
bool MakeFiles(const std::string &package, const std::string &bare, uint64_t inflatedBytes,
               size_t blockSize) {
  std::FILE *p = std::fopen(package.c_str(), "wb");
  std::FILE *b = std::fopen(bare.c_str(), "wb");
  bool ok = p != nullptr && b != nullptr;
  PackageBytes header;
  AppendSingleImageHeader(header, kProductCode, static_cast<uint32_t>(inflatedBytes));
  ok = ok && WriteBytes(p, header);
  std::vector<unsigned char> raw(blockSize);
  uint64_t state = 0x9E3779B97F4A7C15ull;
  for (uint64_t done = 0; ok && done < inflatedBytes; done += blockSize) {
    const size_t length = static_cast<size_t>(std::min<uint64_t>(blockSize, inflatedBytes - done));
    FillFirmwareLike(raw.data(), length, &state);
    if (done == 0) raw[0] = 0x1B;
    const PackageBytes stream = CompressBlock(raw.data(), length, 6);
    PackageBytes block;
    AppendBlock(block, kProductCode, stream.data(), stream.size());
    ok = WriteBytes(p, block);
    std::memcpy(block.data() + kBlockLengthSize, stream.data(), stream.size());
    ok = ok && WriteBytes(b, block);
  }
  if (p != nullptr && std::fclose(p) != 0) ok = false;
  if (b != nullptr && std::fclose(b) != 0) ok = false;
  return ok;
}

// ---- The measured runs (each in its own process) ----------------------------------------------

long PeakResidentKib() {
  std::FILE *f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, "VmHWM:", 6) == 0) kib = std::strtol(line + 6, nullptr, 10);
  }
  std::fclose(f);
  return kib;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The program's path: the run's two buffers, allocated once, and the whole-file walk.
int DecodeRun(const char *path) {
  const long baseKib = PeakResidentKib();
  std::vector<unsigned char> fileBuffer(kFileBufferSize), inflateBuffer(kInflateBufferSize);
  const FirmwareBuffers buffers = {fileBuffer.data(), inflateBuffer.data(), nullptr};
  uint64_t delivered = 0;
  FirmwareWalkHooks hooks = {};
  hooks.context = &delivered;
  hooks.Send = [](void *context, const FirmwareChunk *chunk) {
    *static_cast<uint64_t *>(context) += chunk->length;
    return true;
  };
  FileSource file;
  if (!OpenFileSource(&file, path)) return 1;
  const FirmwareSource source = AsFirmwareSource(&file);
  FirmwareWalk walk;
  const auto start = std::chrono::steady_clock::now();
  const FirmwareOutcome outcome = WalkFirmwareFile(&source, &buffers, &hooks, &walk);
  const double seconds = Seconds(start);
  CloseFileSource(&file);
  if (outcome != FirmwareOutcome::Accepted) return 1;
  std::printf("%.6f %llu %ld %ld\n", seconds, static_cast<unsigned long long>(delivered),
              PeakResidentKib(), baseKib);
  return 0;
}

// Bare zlib: the same reads into the same sizes of buffer, one inflate per block, nothing else.
int BareRun(const char *path) {
  const long baseKib = PeakResidentKib();
  std::vector<unsigned char> in(kFileBufferSize), out(kInflateBufferSize);
  std::FILE *f = std::fopen(path, "rb");
  if (f == nullptr) return 1;
  uint64_t delivered = 0;
  const auto start = std::chrono::steady_clock::now();
  unsigned char lengthBytes[4];
  while (std::fread(lengthBytes, 1, 4, f) == 4) {
    const uint32_t length = ReadLittleEndian32(lengthBytes);
    if (length > kMaxBlockLength || std::fread(in.data(), 1, length, f) != length) return 1;
    z_stream zs = {};
    zs.next_in = in.data();
    zs.avail_in = length;
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    if (inflateInit(&zs) != Z_OK || inflate(&zs, Z_NO_FLUSH) != Z_STREAM_END) return 1;
    delivered += zs.total_out;
    inflateEnd(&zs);
  }
  const double seconds = Seconds(start);
  std::fclose(f);
  std::printf("%.6f %llu %ld %ld\n", seconds, static_cast<unsigned long long>(delivered),
              PeakResidentKib(), baseKib);
  return 0;
}

// ---- The orchestration ---------------------------------------------------------------------------

struct Measured {
  double seconds = 0;
  unsigned long long bytes = 0;
  long peakKib = 0;
  long baseKib = 0;  // the process before it allocated anything
};

// This program's own file: popen's shell would take /proc/self/exe for itself.
std::string SelfPath() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

bool RunChild(const char *mode, const std::string &path, Measured *m) {
  const std::string command = "'" + SelfPath() + "' " + mode + " '" + path + "'";
  std::FILE *child = popen(command.c_str(), "r");
  if (child == nullptr) return false;
  const bool parsed =
      std::fscanf(child, "%lf %llu %ld %ld", &m->seconds, &m->bytes, &m->peakKib, &m->baseKib) == 4;
  return pclose(child) == 0 && parsed;
}

// Best of rounds, the two kinds of run alternating so that both see the same machine state.
bool Compare(const std::string &package, const std::string &bare, int rounds, Measured *decode,
             Measured *zlib) {
  for (int r = 0; r < rounds; ++r) {
    Measured d, z;
    if (!RunChild("--decode", package, &d) || !RunChild("--bare", bare, &z)) return false;
    if (r == 0 || d.seconds < decode->seconds) *decode = d;
    if (r == 0 || z.seconds < zlib->seconds) *zlib = z;
  }
  return true;
}

double MibPerSecond(const Measured &m) { return m.bytes / 1048576.0 / m.seconds; }

uint64_t FileSize(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && std::strcmp(argv[1], "--decode") == 0) return DecodeRun(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "--bare") == 0) return BareRun(argv[2]);

  unsigned long mib = 256, blockSize = 1048576, rounds = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    const unsigned long value = std::strtoul(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--mib") == 0) mib = value;
    if (std::strcmp(argv[i], "--block-size") == 0) blockSize = value;
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = value;
  }
  if (mib < 1 || mib > 4095 || blockSize < 1 || blockSize > kMaxBlockLength || rounds < 1) {
    std::fprintf(stderr, "usage: korvex-package-bench [--mib 1-4095] [--block-size 1-4194304] "
                         "[--rounds N]\n");
    return 2;
  }

  char dirTemplate[] = "/tmp/korvex-bench-XXXXXX";
  if (mkdtemp(dirTemplate) == nullptr) return 1;
  const std::string dir = dirTemplate;
  const uint64_t smallMib = std::max<unsigned long>(1, mib / 8);
  struct Size { uint64_t mib; std::string package, bare; };
  const Size sizes[] = {{smallMib, dir + "/small.pkg", dir + "/small.bare"},
                        {mib, dir + "/large.pkg", dir + "/large.bare"}};

  int status = 0;
  std::printf("block size %lu bytes, best of %lu rounds, each run in a fresh process\n", blockSize,
              rounds);
  for (const Size &s : sizes) {
    std::printf("building a package of %llu MiB inflated...\n",
                static_cast<unsigned long long>(s.mib));
    std::fflush(stdout);
    Measured decode, zlib;
    if (!MakeFiles(s.package, s.bare, s.mib << 20, blockSize) ||
        !Compare(s.package, s.bare, static_cast<int>(rounds), &decode, &zlib) ||
        decode.bytes != (s.mib << 20) || zlib.bytes != decode.bytes) {
      std::fprintf(stderr, "korvex-package-bench: building or decoding failed\n");
      status = 1;
      break;
    }
    std::printf("  package %.1f MiB stored, %llu MiB inflated\n", FileSize(s.package) / 1048576.0,
                static_cast<unsigned long long>(s.mib));
    std::printf("  decode path  %8.1f MiB/s   peak resident %5.1f MiB (%.1f before its buffers)\n",
                MibPerSecond(decode), decode.peakKib / 1024.0, decode.baseKib / 1024.0);
    std::printf("  bare inflate %8.1f MiB/s   peak resident %5.1f MiB (%.1f before its buffers)\n",
                MibPerSecond(zlib), zlib.peakKib / 1024.0, zlib.baseKib / 1024.0);
    std::printf("  decode / bare throughput: %.3f (target: at least 0.900)\n",
                MibPerSecond(decode) / MibPerSecond(zlib));
    std::remove(s.package.c_str());
    std::remove(s.bare.c_str());
  }
  std::printf("the run's fixed buffers: %.1f MiB (file %.0f MiB + inflate %.0f MiB)\n",
              (kFileBufferSize + kInflateBufferSize) / 1048576.0, kFileBufferSize / 1048576.0,
              kInflateBufferSize / 1048576.0);
  rmdir(dir.c_str());
  return status;
}
