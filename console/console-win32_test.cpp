#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "console/console.h"
#include "console/held_output_test.h"
#include "console/line_writer.h"
#include "console/messages.h"

namespace {

// Written to a file (or a pipe), a message line is its GBK bytes as they
// are, ended with CR LF, in one piece.
TEST(Console, LineToAFileIsGbkBytesAndCrLf) {
  wchar_t directory[MAX_PATH];
  wchar_t path[MAX_PATH];
  ASSERT_NE(GetTempPathW(MAX_PATH, directory), 0u);
  ASSERT_NE(GetTempFileNameW(directory, L"art", 0, path), 0u);
  HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_TEMPORARY, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, file);
  WriteMessageSigned(Message::SendProblem, -1);
  WriteMessage(Message::Running);
  SetStdHandle(STD_OUTPUT_HANDLE, saved);

  char bytes[1024];
  DWORD read = 0;
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  ASSERT_TRUE(ReadFile(file, bytes, sizeof bytes, &read, nullptr));
  CloseHandle(file);
  DeleteFileW(path);
  EXPECT_EQ(std::string(bytes, read), std::string(MessageText(Message::SendProblem)) + "-1\r\n" +
                                          std::string(MessageText(Message::Running)) + "\r\n");
}

// Standard output is a pipe that nobody reads, and full (as a console
// window holds every write while a selection is made in it): through the
// console's own writer, threads that write lines go on at once, and once the
// pipe is read every line comes, each thread's in order. (The writer is the
// bridge's kind, over the platform's write, but this test's own: the
// bridge's is started once and for good, and would outlive the test.)
TEST(Console, AFullPipeHoldsNoThread) {
  LineWriter writer(ShowConsoleText);
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 4096));
  // A thread of the test's own fills the pipe and stays in its write until
  // the pipe is read.
  const std::string filler(1 << 20, 'f');
  std::thread filling([&] {
    DWORD written = 0;
    WriteFile(write_end, filler.data(), static_cast<DWORD>(filler.size()), &written, nullptr);
  });
  Sleep(200);
  HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, write_end);

  std::vector<std::future<void>> threads = WriteLinesFromTwoThreads(writer);
  const bool none_waited = NoneWaited(threads);

  const std::string prefix(MessageText(Message::SerialWriteTimeout));
  const std::size_t expected_size = filler.size() + HeldLinesSize(prefix);
  std::string output;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (output.size() < expected_size && std::chrono::steady_clock::now() < deadline) {
    DWORD available = 0;
    if (!PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr) || available == 0) {
      Sleep(5);
      continue;
    }
    std::string chunk(available, '\0');
    DWORD got = 0;
    if (!ReadFile(read_end, chunk.data(), available, &got, nullptr)) break;
    output.append(chunk, 0, got);
  }
  const bool flushed = writer.Flush(std::chrono::seconds(10));
  SetStdHandle(STD_OUTPUT_HANDLE, saved);
  filling.join();
  for (auto& thread : threads) thread.wait();
  CloseHandle(read_end);
  CloseHandle(write_end);
  EXPECT_TRUE(none_waited) << "a thread waits on standard output";
  EXPECT_TRUE(flushed);

  ASSERT_EQ(output.substr(0, filler.size()), filler);
  ExpectEveryLineInOrder(output.substr(filler.size()), prefix);
}

}  // namespace
