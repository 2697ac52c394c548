// Test inputs and inspection for the container tools (extraction, remux): media
// files made with the ffmpeg tool, a libavformat reading of every packet, and a
// capture of the process's standard output.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "tests/support/media.h"

namespace qn::testing {

/// The media files every container test works on, made once per test process.
struct ContainerInputs {
  std::string dir;
  std::string mp4;          // H.264 (no B-frames) 160x120 25 fps + AAC 44.1 kHz mono, 1 s
  std::string bFramesMp4;   // H.264 with B-frames (pts order differs from dts order)
  std::string mkv;          // video, audio, SubRip subtitle, then a font attachment
  std::string dataFirstMov; // timecode data stream (1/12800) before the video (1/1000)
  std::string audioOnly;    // AAC in .m4a
  std::string rawH264;      // Annex B stream: packets without timestamps
  std::string large;        // 320x240 H.264 with B-frames + AAC, 2 s, noisy: about 120 KB
};

/// True if FFmpeg's own avformat_query_codec says the muxer cannot carry the codec. FFmpeg 7
/// and later know it of GIF and H.264, so the tools refuse before any file is made; 5.1
/// answers "unknown" and its GIF muxer refuses only when the header is written.
inline bool muxerRefusesUpFront(const char* muxer, AVCodecID codec) {
  return avformat_query_codec(av_guess_format(muxer, nullptr, nullptr), codec,
                              FF_COMPLIANCE_NORMAL) == 0;
}

/// Runs an ffmpeg command line (arguments after "ffmpeg -v error -y"); fails the test on error.
inline void ffmpeg(const std::string& arguments) {
  const std::string command = "ffmpeg -nostdin -v error -y " + arguments;
  ASSERT_EQ(runCommand(command), 0) << command;
}

/// Makes the inputs under a fresh temp directory of this name.
inline ContainerInputs makeContainerInputs(const std::string& name) {
  ContainerInputs in;
  in.dir = makeTempDir(name);
  const std::string d = in.dir + "/";
  const std::string video = "-f lavfi -i testsrc=size=160x120:rate=25 ";
  const std::string tone = "-f lavfi -i sine=frequency=440:sample_rate=44100 ";
  const std::string x264 = "-c:v libx264 -pix_fmt yuv420p -g 12 ";
  in.mp4 = d + "av.mp4";
  in.bFramesMp4 = d + "bframes.mp4";
  in.mkv = d + "vast.mkv";
  in.dataFirstMov = d + "datafirst.mov";
  in.audioOnly = d + "tone.m4a";
  in.rawH264 = d + "raw.h264";
  in.large = d + "large.mp4";

  ffmpeg(video + tone + "-t 1 " + x264 + "-bf 0 -c:a aac " + in.mp4);
  ffmpeg(video + tone + "-t 1 " + x264 + "-bf 2 -c:a aac " + in.bFramesMp4);
  const std::string srt =
      "1\n00:00:00,000 --> 00:00:00,400\nfirst\n\n2\n00:00:00,500 --> 00:00:00,900\nsecond\n";
  writeFile(d + "subs.srt", std::vector<uint8_t>(srt.begin(), srt.end()));
  writeFile(d + "font.ttf", std::vector<uint8_t>(256, 0x42));
  ffmpeg("-i " + in.mp4 + " -i " + d + "subs.srt -map 0:v -map 0:a -map 1 -c:v copy -c:a copy " +
         "-c:s srt -attach " + d + "font.ttf -metadata:s:t mimetype=application/x-truetype-font " +
         in.mkv);
  // A timecode track comes out as a data stream; copying it ahead of the video and
  // giving the video its own timescale makes the two time bases differ.
  ffmpeg("-i " + in.mp4 + " -map 0:v -c copy -timecode 00:00:01:00 " + d + "timecode.mov");
  ffmpeg("-i " + d + "timecode.mov -map 0:d -map 0:v -c copy -video_track_timescale 1000 " +
         in.dataFirstMov);
  ffmpeg(tone + "-t 1 -c:a aac " + in.audioOnly);
  ffmpeg(video + "-t 1 " + x264 + "-bf 0 " + in.rawH264);
  ffmpeg("-f lavfi -i testsrc=size=320x240:rate=25 " + tone + "-t 2 -vf noise=alls=20:allf=t " + x264 + "-bf 2 -crf 30 " +
         "-c:a aac " + in.large);
  return in;
}

/// One packet as libavformat reads it.
struct PacketInfo {
  int streamIndex;
  int64_t pts, dts, duration;
};

/// A stream of a media file and its packets in read order.
struct StreamInfo {
  AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
  AVCodecID codec = AV_CODEC_ID_NONE;
  int width = 0, height = 0, sampleRate = 0, channels = 0;
  std::vector<uint8_t> extradata;
  AVRational timeBase{0, 1};
  std::vector<PacketInfo> packets;
};

/// A media file's streams and every packet read from it; `opened` false if unreadable.
struct MediaInfo {
  bool opened = false;
  std::vector<StreamInfo> streams;
  std::vector<PacketInfo> packets;  // all streams, read order
};

/// Reads a media file with libavformat, as a player would.
inline MediaInfo readMedia(const std::string& path) {
  MediaInfo info;
  AVFormatContext* context = nullptr;
  if (avformat_open_input(&context, path.c_str(), nullptr, nullptr) < 0) return info;
  if (avformat_find_stream_info(context, nullptr) < 0) {
    avformat_close_input(&context);
    return info;
  }
  info.opened = true;
  for (unsigned i = 0; i < context->nb_streams; i++) {
    const AVStream* stream = context->streams[i];
    const AVCodecParameters* par = stream->codecpar;
    StreamInfo s;
    s.type = par->codec_type;
    s.codec = par->codec_id;
    s.width = par->width;
    s.height = par->height;
    s.sampleRate = par->sample_rate;
    s.channels = par->ch_layout.nb_channels;
    s.extradata.assign(par->extradata, par->extradata + par->extradata_size);
    s.timeBase = stream->time_base;
    info.streams.push_back(s);
  }
  AVPacket* packet = av_packet_alloc();
  while (av_read_frame(context, packet) >= 0) {
    const PacketInfo p{packet->stream_index, packet->pts, packet->dts, packet->duration};
    info.packets.push_back(p);
    if (p.streamIndex >= 0 && static_cast<size_t>(p.streamIndex) < info.streams.size()) {
      info.streams[p.streamIndex].packets.push_back(p);
    }
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  avformat_close_input(&context);
  return info;
}

/// Checks that ffprobe decodes frames from each of the file's streams without an error.
/// (Frame counts may differ from the source's by the audio priming frame that an MP4
/// edit list hides, so only their presence is judged; packet counts are exact elsewhere.)
inline void expectDecodesEveryStream(const std::string& path, size_t streams) {
  const std::string text = commandOutput(
      "ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of csv=p=0 " + path +
      " 2>&1");
  size_t lines = 0;
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1, lines++) {
    EXPECT_GT(std::atoi(text.c_str() + start), 0) << path << ":\n" << text;
  }
  EXPECT_EQ(lines, streams) << path << ":\n" << text;
}

/// Checks that "<dir>/frame-%03d.jpg" became files frame-001.jpg to frame-<count>.jpg alone.
inline void expectImageSequence(const std::string& dir, int count) {
  char last[32], beyond[32];
  snprintf(last, sizeof last, "/frame-%03d.jpg", count);
  snprintf(beyond, sizeof beyond, "/frame-%03d.jpg", count + 1);
  EXPECT_FALSE(fileExists(dir + "/frame-%03d.jpg"));
  EXPECT_TRUE(fileExists(dir + "/frame-001.jpg"));
  EXPECT_TRUE(fileExists(dir + last));
  EXPECT_FALSE(fileExists(dir + beyond));
}

/// Redirects the process's standard output into a file while it lives.
class StdoutCapture {
 public:
  explicit StdoutCapture(const std::string& path) : path_(path) {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    dup2(file, STDOUT_FILENO);
    close(file);
  }
  ~StdoutCapture() { restore(); }

  /// Restores standard output and returns the lines written meanwhile.
  std::vector<std::string> lines() {
    restore();
    std::vector<std::string> result;
    const std::vector<uint8_t> bytes = readFile(path_);
    std::string line;
    for (uint8_t byte : bytes) {
      line.push_back(static_cast<char>(byte));
      if (byte == '\n') {
        result.push_back(line);
        line.clear();
      }
    }
    if (!line.empty()) result.push_back(line);  // an unterminated tail shows as its own line
    return result;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    saved_ = -1;
  }
  std::string path_;
  int saved_ = -1;
};

}  // namespace qn::testing
