#include "serial/frame_assembler.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using Frames = std::vector<std::string>;

// Feeds each chunk as one read and returns the frames that came out.
Frames Feed(FrameAssembler& assembler, const std::vector<std::string>& chunks) {
  Frames frames;
  for (const std::string& chunk : chunks) {
    assembler.Append(reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size(),
                     [&frames](const std::uint8_t* frame, std::size_t size) {
                       frames.emplace_back(reinterpret_cast<const char*>(frame), size);
                     });
  }
  return frames;
}

Frames Feed(const std::vector<std::string>& chunks) {
  FrameAssembler assembler;
  return Feed(assembler, chunks);
}

const std::string kId("Art-Net\0", 8);

// An Art-Net packet of `size` bytes (OpCode `opcode`) and CR LF, its other
// bytes from `seed`, with no CR LF inside.
std::string ArtNetFrame(std::size_t size, std::uint16_t opcode, unsigned seed) {
  std::string frame = kId;
  frame += static_cast<char>(opcode & 0xFF);
  frame += static_cast<char>(opcode >> 8);
  std::mt19937 random(seed);
  while (frame.size() < size) {
    char c = static_cast<char>(random());
    if (c == '\r') c = 'r';
    frame += c;
  }
  return frame + "\r\n";
}

TEST(FrameAssembler, FramesEndOnlyWhereAReadEndsInCrLf) {
  EXPECT_EQ(Feed({"OK\r\n"}), Frames{"OK\r\n"});
  EXPECT_EQ(Feed({"O", "K\r\n"}), Frames{"OK\r\n"});
  EXPECT_EQ(Feed({"OK\r", "\n"}), Frames{"OK\r\n"});
  // CR LF inside a read does not split it.
  EXPECT_EQ(Feed({"a\r\nb\r\n"}), Frames{"a\r\nb\r\n"});
  EXPECT_EQ(Feed({"A\r\nB", "C\r\n"}), Frames{"A\r\nBC\r\n"});
  // A lone LF, or CR LF in the wrong order, is no frame end.
  EXPECT_EQ(Feed({"\n"}), Frames{});
  EXPECT_EQ(Feed({"x\n\r"}), Frames{});
  // After a frame, collection starts again empty.
  EXPECT_EQ(Feed({"one\r\n", "two", "\r\n", "", "3\r\n"}), (Frames{"one\r\n", "two\r\n", "3\r\n"}));
}

// CR LF followed by the whole Art-Net ID ends a frame wherever it lies; CR LF
// followed by anything else, or by part of the ID, does not.
TEST(FrameAssembler, CrLfBeforeTheArtNetIdEndsAFrame) {
  const std::string reply_opcode("\x00\x21", 2);
  const std::string a = kId + reply_opcode + "first\r\n";
  const std::string b = kId + reply_opcode + "second\r\n";
  EXPECT_EQ(Feed({a + b}), (Frames{a, b}));
  EXPECT_EQ(Feed({a + b.substr(0, 3), b.substr(3)}), (Frames{a, b}));
  // The ID not yet whole when the read ends: nothing is decided yet.
  FrameAssembler assembler;
  EXPECT_EQ(Feed(assembler, {a + "Art-Ne"}), Frames{});
  EXPECT_EQ(assembler.Collected(), a.size() + 6);
  EXPECT_EQ(Feed(assembler, {b.substr(6)}), (Frames{a, b}));
  // Almost the ID: one frame, CR LF and all.
  const std::string almost = "x\r\nArt-Net!y\r\n";
  EXPECT_EQ(Feed({almost}), Frames{almost});
  EXPECT_EQ(Feed({"x\r\nArt-Ne", "x y\r\n"}), Frames{"x\r\nArt-Nex y\r\n"});
  // A frame that is not Art-Net, then Art-Net frames: "OK" ends before the ID.
  EXPECT_EQ(Feed({"OK\r\n" + a}), (Frames{"OK\r\n", a}));
  // Bytes between an Art-Net frame's CR LF and the next ID stay in the
  // frame when no read ended at the CR LF: the collection starts with the ID.
  EXPECT_EQ(Feed({a + "zz" + b}), Frames{a + "zz" + b});
}

// Bytes that are no frame: line noise, without CR LF and the Art-Net ID,
// from the generator `random`.
std::string Noise(std::size_t size, std::mt19937& random) {
  std::string noise;
  while (noise.size() < size) {
    const char c = static_cast<char>(random());
    if (c != '\r' && c != 'A') noise += c;
  }
  return noise;
}

// A device that boots, or an adapter at the wrong speed, sends noise that
// never ends in CR LF; the device's next frame, the ID first, still comes
// out whole, and the noise is counted as discarded, not sent.
TEST(FrameAssembler, AfterLineNoiseTheNextFrameComesOutWhole) {
  std::mt19937 random(21);
  const std::string reply = ArtNetFrame(239, 0x2100, 1);
  // 100 KB of noise, a pause (the read ends), then the reply: in one read,
  // in the reads of 1024 bytes the bridge makes, and byte by byte.
  const std::string noise = Noise(100 * 1024, random);
  for (std::size_t read : {noise.size(), std::size_t{1024}, std::size_t{1}}) {
    FrameAssembler assembler;
    std::vector<std::string> reads;
    for (std::size_t at = 0; at < noise.size(); at += read) reads.push_back(noise.substr(at, read));
    EXPECT_EQ(Feed(assembler, reads), Frames{}) << read;
    EXPECT_EQ(Feed(assembler, {reply}), Frames{reply}) << read;
    EXPECT_EQ(assembler.Discarded(), noise.size()) << read;
    EXPECT_EQ(assembler.Collected(), 0u) << read;
  }
  const std::string a = ArtNetFrame(14, 0x2000, 2);
  const struct {
    const char* name;
    std::vector<std::string> reads;
    Frames frames;
    std::uint64_t discarded;
  } cases[] = {
      {"noise and the frame in one read", {"\x13\x11\xFF" + reply}, {reply}, 3},
      {"the ID split across reads", {"xyz Art-", "Net" + reply.substr(7)}, {reply}, 4},
      {"the ID split after its first byte", {"xyzA", reply.substr(1)}, {reply}, 3},
      {"a zero byte alone before the ID", {std::string(1, '\0') + reply}, {reply}, 1},
      {"noise with CR LF inside, not at a read's end", {"a\r\nb" + reply}, {reply}, 4},
      {"noise holding most of the ID", {"Art-Ne", "t!" + reply}, {reply}, 8},
      {"noise that is an ID cut short", {"Art-Net" + reply}, {reply}, 7},
      {"noise, then frames back to back", {"~~" + reply + a}, {reply, a}, 2},
      // A frame that starts with anything else and ends in CR LF still goes
      // out, as before an ID or where a read ends.
      {"a frame of other bytes, then the ID", {"OK\r\n" + reply}, {"OK\r\n", reply}, 0},
      {"noise ending in CR LF at a read's end", {"\x13\x11\r\n", reply}, {"\x13\x11\r\n", reply}, 0},
  };
  for (const auto& c : cases) {
    FrameAssembler assembler;
    EXPECT_EQ(Feed(assembler, c.reads), c.frames) << c.name;
    EXPECT_EQ(assembler.Discarded(), c.discarded) << c.name;
  }
}

// Noise beyond the buffer: where the collection overflows, and where the
// ID's first bytes arrive in the read that overflows it.
TEST(FrameAssembler, NoiseLongerThanTheBuffer) {
  std::mt19937 random(6);
  const std::string reply = ArtNetFrame(239, 0x2100, 3);
  for (std::size_t size : {2039u, 2040u, 2041u, 2047u, 2048u, 2049u, 4096u, 5000u}) {
    const std::string noise = Noise(size, random);
    for (std::size_t split = 0; split <= 10; ++split) {
      FrameAssembler assembler;
      const std::string stream = noise + reply;
      const std::size_t at = noise.size() + split;
      EXPECT_EQ(Feed(assembler, {stream.substr(0, at), stream.substr(at)}), Frames{reply})
          << size << " bytes of noise, read ends " << split << " bytes into the reply";
      EXPECT_EQ(assembler.Discarded(), noise.size()) << size << ", " << split;
    }
  }
}

// Four ArtPollReplies back to back, 1,000 replies, frames of 2047 bytes, a
// mixture, and each of them after line noise: the same frames, and the
// noise discarded, whether the bytes come whole, one at a time, or in random
// chunks (as a USB adapter hands them over).
TEST(FrameAssembler, SameFramesWhateverTheChunking) {
  std::vector<Frames> streams;
  streams.push_back(Frames(4));
  for (unsigned i = 0; i < 4; ++i) streams.back()[i] = ArtNetFrame(239, 0x2100, i);
  streams.push_back(Frames(1000));
  for (unsigned i = 0; i < 1000; ++i) streams.back()[i] = ArtNetFrame(239, 0x2100, 100 + i);
  streams.push_back(Frames(6));
  for (unsigned i = 0; i < 6; ++i) streams.back()[i] = ArtNetFrame(2045, 0x5000, 2000 + i);
  streams.push_back({ArtNetFrame(10, 0x2000, 1), ArtNetFrame(530, 0x5000, 2), ArtNetFrame(2045, 0x5000, 3),
                     ArtNetFrame(12, 0x9999, 4), ArtNetFrame(241, 0x2100, 5)});
  std::mt19937 random(6454);
  for (const std::size_t noise_size : {0u, 1u, 300u, 5000u}) {
    const std::string noise = Noise(noise_size, random);
    for (const Frames& frames : streams) {
      std::string bytes = noise;
      for (const std::string& frame : frames) bytes += frame;
      std::vector<std::vector<std::string>> chunkings;
      chunkings.push_back({bytes});
      chunkings.emplace_back();
      for (char c : bytes) chunkings.back().push_back(std::string(1, c));
      for (std::size_t largest : {7u, 64u, 1024u, 4096u}) {
        chunkings.emplace_back();
        for (std::size_t at = 0; at < bytes.size();) {
          const std::size_t size = 1 + random() % largest;
          chunkings.back().push_back(bytes.substr(at, size));
          at += size;
        }
      }
      for (std::size_t c = 0; c < chunkings.size(); ++c) {
        FrameAssembler assembler;
        const Frames got = Feed(assembler, chunkings[c]);
        ASSERT_EQ(got.size(), frames.size())
            << "chunking " << c << " of " << frames.size() << " frames after " << noise_size << " bytes of noise";
        EXPECT_EQ(got, frames) << "chunking " << c;
        EXPECT_EQ(assembler.Discarded(), noise_size) << "chunking " << c;
      }
    }
  }
}

TEST(FrameAssembler, LongestFrameAndTheLimit) {
  const std::string longest = std::string(2045, 'x') + "\r\n";
  EXPECT_EQ(Feed({longest.substr(0, 1024), longest.substr(1024)}), Frames{longest});

  // Reaching 2048 bytes discards the collection, even when it ends in CR LF,
  // and the next frame is collected from empty.
  const std::string too_long = std::string(2046, 'y') + "\r\n";
  EXPECT_EQ(Feed({too_long.substr(0, 1024), too_long.substr(1024), "ok\r\n"}), Frames{"ok\r\n"});

  FrameAssembler assembler;
  Feed(assembler, {std::string(2047, 'z')});
  EXPECT_EQ(assembler.Collected(), 2047u);
  EXPECT_EQ(Feed(assembler, {"\r\n"}), Frames{});
  EXPECT_EQ(assembler.Collected(), 0u);

  // The same bounds for frames that the next frame's ID ends.
  const std::string longest_art_net = ArtNetFrame(2045, 0x5000, 7);
  const std::string too_long_art_net = ArtNetFrame(2046, 0x5000, 8);
  const std::string next = ArtNetFrame(14, 0x2000, 9);
  EXPECT_EQ(Feed({longest_art_net + next}), (Frames{longest_art_net, next}));
  EXPECT_EQ(Feed({too_long_art_net + next}), Frames{next});
  EXPECT_EQ(Feed({too_long_art_net.substr(0, 2000), too_long_art_net.substr(2000) + next}), Frames{next});
  // The next frame's ID split by the read that overflowed: its start is
  // kept for the next read.
  const std::string stream = too_long_art_net + next;
  for (std::size_t split = 1; split < 8; ++split) {
    FrameAssembler split_id;
    const std::size_t at = too_long_art_net.size() + split;
    EXPECT_EQ(Feed(split_id, {stream.substr(0, at), stream.substr(at)}), Frames{next}) << split;
    EXPECT_EQ(split_id.Discarded(), too_long_art_net.size()) << split;
  }
}

TEST(FrameAssembler, AChunkThatDoesNotFitDiscardsBoth) {
  FrameAssembler assembler;
  Feed(assembler, {std::string(1500, 'a')});
  EXPECT_EQ(Feed(assembler, {std::string(1022, 'b') + "\r\n"}), Frames{});
  EXPECT_EQ(assembler.Collected(), 0u);
  EXPECT_EQ(Feed(assembler, {"c\r\n"}), Frames{"c\r\n"});
  // A chunk larger than the whole buffer.
  EXPECT_EQ(Feed({std::string(5000, 'd') + "\r\n", "e\r\n"}), Frames{"e\r\n"});
  // Overflowed without CR LF: the next read still starts afresh.
  EXPECT_EQ(Feed({std::string(3000, 'f'), "g\r\n"}), Frames{"g\r\n"});
}

// Every byte appended is in a frame, discarded or still collected; a
// collection thrown away (the device's port changed) counts as discarded.
TEST(FrameAssembler, CountsEveryByteItDiscards) {
  FrameAssembler assembler;
  const std::string frame = ArtNetFrame(100, 0x5000, 11);
  EXPECT_EQ(Feed(assembler, {std::string(1500, 'a'), std::string(1022, 'b') + "\r\n"}), Frames{});
  EXPECT_EQ(assembler.Discarded(), 2524u);
  EXPECT_EQ(Feed(assembler, {"noise" + frame, frame.substr(0, 50)}), Frames{frame});
  EXPECT_EQ(assembler.Discarded(), 2529u);
  EXPECT_EQ(assembler.Collected(), 50u);
  assembler.DiscardCollection();
  EXPECT_EQ(assembler.Discarded(), 2579u);
  EXPECT_EQ(assembler.Collected(), 0u);
  // What the new port sends starts a new frame.
  EXPECT_EQ(Feed(assembler, {frame}), Frames{frame});
  EXPECT_EQ(assembler.Discarded(), 2579u);
}

}  // namespace
