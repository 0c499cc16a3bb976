#include "platform/ffmpeg/fragment_salvage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <optional>
#include <system_error>

namespace vantor::platform::ffmpeg {

namespace {

struct Box {
  uint64_t size = 0;
  std::array<char, 4> type{};
};

uint32_t bigEndian32(const unsigned char* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

// The box header at `offset`, or nothing when it does not fit in the file or
// says nothing usable (a size of 0, "to the end of the file", is what an
// interrupted writer leaves, so it counts as torn too).
std::optional<Box> readBox(int fd, uint64_t offset, uint64_t fileSize) {
  unsigned char header[16];
  if (fileSize - offset < 8 || ::pread(fd, header, 8, off_t(offset)) != 8) return std::nullopt;
  Box box;
  box.size = bigEndian32(header);
  std::memcpy(box.type.data(), header + 4, 4);
  if (box.size == 1) {
    if (fileSize - offset < 16 || ::pread(fd, header + 8, 8, off_t(offset + 8)) != 8) return std::nullopt;
    box.size = uint64_t(bigEndian32(header + 8)) << 32 | bigEndian32(header + 12);
    if (box.size < 16) return std::nullopt;
  } else if (box.size < 8) {
    return std::nullopt;
  }
  return box;
}

bool is(const Box& box, const char* type) { return std::memcmp(box.type.data(), type, 4) == 0; }

}  // namespace

SalvageResult cutToLastCompleteFragment(const std::filesystem::path& path) {
  SalvageResult result;
  std::error_code ignored;
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return result;
  // Only a file of our own making is cut or removed, never a device or a pipe someone named.
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return result;
  }
  off_t end = ::lseek(fd, 0, SEEK_END);
  uint64_t fileSize = end > 0 ? uint64_t(end) : 0;

  uint64_t offset = 0;
  uint64_t keep = 0;        // end of the last box worth keeping
  bool header = false;      // a complete "moov" was seen
  bool openMoof = false;    // a "moof" waits for its "mdat"
  while (std::optional<Box> box = readBox(fd, offset, fileSize)) {
    if (box->size > fileSize - offset) break;  // torn
    offset += box->size;
    if (is(*box, "moov")) header = true;
    if (is(*box, "moof")) {
      openMoof = true;
      continue;
    }
    if (is(*box, "mdat") && openMoof) {
      ++result.fragments;
      openMoof = false;
    }
    keep = offset;
  }

  if (!header || result.fragments == 0) {
    ::close(fd);
    std::filesystem::remove(path, ignored);
    result.cutBytes = fileSize;
    result.fragments = 0;
    return result;
  }
  if (keep < fileSize && ::ftruncate(fd, off_t(keep)) != 0) {
    // Not playable to its end, but the bytes stay for whoever can use them.
    ::close(fd);
    return {};
  }
  ::close(fd);
  result.keptBytes = keep;
  result.cutBytes = fileSize - keep;
  return result;
}

}  // namespace vantor::platform::ffmpeg
