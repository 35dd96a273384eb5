#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "console/console.h"
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

}  // namespace
