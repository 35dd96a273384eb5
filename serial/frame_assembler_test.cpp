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
  // Line noise that does not start with the ID stays the front of the next
  // frame.
  EXPECT_EQ(Feed({"\x13\x11" + a}), Frames{"\x13\x11" + a});
  EXPECT_EQ(Feed({a + "zz" + b}), Frames{a + "zz" + b});
}

// Four ArtPollReplies back to back, 1,000 replies, frames of 2047 bytes and a
// mixture: the same frames whether the bytes come whole, one at a time, or in
// random chunks (as a USB adapter hands them over).
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
  for (const Frames& frames : streams) {
    std::string bytes;
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
      const Frames got = Feed(chunkings[c]);
      ASSERT_EQ(got.size(), frames.size()) << "chunking " << c << " of " << frames.size() << " frames";
      EXPECT_EQ(got, frames) << "chunking " << c;
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

}  // namespace
