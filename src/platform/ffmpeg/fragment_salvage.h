#pragma once
// Cutting a fragmented MPEG-4 file back to what plays to its end.
//
// A write that failed part-way (a full disk) leaves a fragment torn at the
// end of the file, and players stop there with an error. The file is a
// sequence of boxes (size, type, body); every fragment is a "moof" box
// followed by its "mdat". Keeping the boxes up to the last complete one,
// minus a "moof" whose "mdat" did not make it, leaves a movie that decodes
// to its end.

#include <cstdint>
#include <filesystem>

namespace vantor::platform::ffmpeg {

struct SalvageResult {
  uint64_t keptBytes = 0;   // what the file holds now
  uint64_t cutBytes = 0;    // the torn tail that was cut off
  uint64_t fragments = 0;   // complete fragments kept
};

// Truncates the file at `path` after its last complete fragment. With no
// complete header or no complete fragment nothing in it plays: the file is
// removed and keptBytes is 0. A file that cannot be opened or cut is left
// as it is, also with keptBytes 0.
SalvageResult cutToLastCompleteFragment(const std::filesystem::path& path);

}  // namespace vantor::platform::ffmpeg
