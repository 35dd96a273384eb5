#include "serial/frame_assembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Feeds each chunk as one read and returns the frames that came out.
std::vector<std::string> Feed(FrameAssembler& assembler, const std::vector<std::string>& chunks) {
  std::vector<std::string> frames;
  for (const std::string& chunk : chunks) {
    const Frame frame =
        assembler.Append(reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size());
    if (frame.size != 0) frames.emplace_back(reinterpret_cast<const char*>(frame.data), frame.size);
  }
  return frames;
}

std::vector<std::string> Feed(const std::vector<std::string>& chunks) {
  FrameAssembler assembler;
  return Feed(assembler, chunks);
}

using Frames = std::vector<std::string>;

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
}

TEST(FrameAssembler, AChunkThatDoesNotFitDiscardsBoth) {
  FrameAssembler assembler;
  Feed(assembler, {std::string(1500, 'a')});
  EXPECT_EQ(Feed(assembler, {std::string(1022, 'b') + "\r\n"}), Frames{});
  EXPECT_EQ(assembler.Collected(), 0u);
  EXPECT_EQ(Feed(assembler, {"c\r\n"}), Frames{"c\r\n"});
  // A chunk larger than the whole buffer.
  EXPECT_EQ(Feed({std::string(5000, 'd') + "\r\n", "e\r\n"}), Frames{"e\r\n"});
}

}  // namespace
