#include "platform/ffmpeg/input_file.h"

#include <algorithm>
#include <string_view>

#include "platform/ffmpeg/media_error.h"

namespace vantor::platform::ffmpeg {

namespace {

[[noreturn]] void cannotRead(const std::filesystem::path& path, int r) {
  throw mediaError(kCannotRead, "cannot read " + path.string() + ": " + avErrorText(r));
}

// Reads the next packet into `packet`; false at the end. Throws Error.
bool readPacket(AVFormatContext* input, AVPacket* packet, const std::filesystem::path& path) {
  int r = av_read_frame(input, packet);
  if (r == AVERROR_EOF) return false;
  if (r < 0) cannotRead(path, r);
  return true;
}

bool isCafPcm(const AVFormatContext* input, const AVStream* st) {
  return std::string_view(input->iformat->name) == "caf" && st->codecpar->block_align > 0 &&
         av_get_bits_per_sample(st->codecpar->codec_id) > 0;
}

// Linear PCM in CAF: one sample frame per block_align bytes of the data chunk.
int64_t cafPcmEnd(AVFormatContext* input, AVStream* st, const std::filesystem::path& path) {
  // The data chunk's size, when it was written.
  if (st->nb_frames > 0) return st->nb_frames;
  // Left unknown: the data runs to the end of the file, from where the first
  // packet starts. An empty file has no first packet.
  PacketHandle packet(av_packet_alloc());
  if (!packet) cannotRead(path, AVERROR(ENOMEM));
  if (!readPacket(input, packet.get(), path) || packet->pos < 0) return 0;
  int64_t size = avio_size(input->pb);
  if (size < 0) cannotRead(path, int(size));
  return (size - packet->pos) / st->codecpar->block_align;
}

// From the index; -1 when it cannot tell.
int64_t indexedEnd(AVStream* st, int64_t fileSize) {
  int count = avformat_index_get_entries_count(st);
  if (count <= 0 || fileSize <= 0) return -1;
  // The last sample wholly in the file. Samples are written in order, so
  // those missing from a torn file are the last ones.
  int last = count - 1;
  for (; last >= 0; --last) {
    const AVIndexEntry* e = avformat_index_get_entry(st, last);
    if (e->size <= 0) return -1;  // sizes unknown: the index cannot tell
    if (e->pos + e->size <= fileSize) break;
  }
  if (last < 0) return 0;
  if (last + 1 < count) return avformat_index_get_entry(st, last + 1)->timestamp;
  // The last sample ends where the track does.
  int64_t start = avformat_index_get_entry(st, last)->timestamp;
  if (st->duration == AV_NOPTS_VALUE || st->duration <= start) return -1;
  return st->duration;
}

}  // namespace

InputHandle openInputFile(const std::filesystem::path& path) {
  AVFormatContext* raw = nullptr;
  int r = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
  if (r < 0) cannotRead(path, r);
  return InputHandle(raw);
}

int countStreams(const AVFormatContext* input, AVMediaType type) {
  int n = 0;
  for (unsigned i = 0; i < input->nb_streams; ++i)
    if (input->streams[i]->codecpar->codec_type == type) ++n;
  return n;
}

int firstStream(const AVFormatContext* input, AVMediaType type) {
  for (unsigned i = 0; i < input->nb_streams; ++i)
    if (input->streams[i]->codecpar->codec_type == type) return int(i);
  return -1;
}

std::vector<int64_t> streamEnds(AVFormatContext* input, const std::filesystem::path& path) {
  std::vector<int64_t> ends(input->nb_streams, -1);
  int64_t fileSize = avio_size(input->pb);
  bool scan = false;
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    AVStream* st = input->streams[i];
    if (isCafPcm(input, st)) ends[i] = cafPcmEnd(input, st, path);
    else ends[i] = indexedEnd(st, fileSize);
    scan = scan || ends[i] < 0;
  }
  if (!scan) return ends;

  // Every packet of the streams the shortcuts could not answer for; the
  // others' are skipped unread.
  std::vector<bool> scanned(ends.size());
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    scanned[i] = ends[i] < 0;
    input->streams[i]->discard = scanned[i] ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    if (scanned[i]) ends[i] = 0;
  }
  PacketHandle packet(av_packet_alloc());
  if (!packet) cannotRead(path, AVERROR(ENOMEM));
  while (readPacket(input, packet.get(), path)) {
    auto i = size_t(packet->stream_index);
    int64_t at = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (i < ends.size() && scanned[i] && at != AV_NOPTS_VALUE) ends[i] = std::max(ends[i], at + packet->duration);
    av_packet_unref(packet.get());
  }
  return ends;
}

}  // namespace vantor::platform::ffmpeg
