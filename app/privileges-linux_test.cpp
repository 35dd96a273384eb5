#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>

#include "app/privileges.h"

namespace {

using Status = std::map<std::string, std::string>;

// What /proc/self/status says of a child process that ran `before` and then
// DropPrivileges: its ids, groups, capability masks and no_new_privs. The
// rights change for good, so only a child may try.
Status StatusAfterDrop(const std::function<void()>& before) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_fds[0]);
    before();
    DropPrivileges();
    std::ifstream status("/proc/self/status");
    std::stringstream text;
    text << status.rdbuf();
    const std::string all = text.str();
    ssize_t written = write(pipe_fds[1], all.data(), all.size());
    _exit(written == static_cast<ssize_t>(all.size()) ? 0 : 1);
  }
  close(pipe_fds[1]);
  std::string all;
  char buffer[4096];
  for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) all.append(buffer, static_cast<std::size_t>(n));
  close(pipe_fds[0]);
  int code = -1;
  waitpid(child, &code, 0);
  EXPECT_TRUE(WIFEXITED(code) && WEXITSTATUS(code) == 0);
  Status fields;
  std::istringstream lines(all);
  for (std::string line; std::getline(lines, line);) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    // Without the blanks around the value (Groups ends in a space).
    const auto first = line.find_first_not_of(" \t", colon + 1);
    const auto last = line.find_last_not_of(" \t");
    fields[line.substr(0, colon)] = first == std::string::npos ? "" : line.substr(first, last - first + 1);
  }
  return fields;
}

// Four times the same id, as /proc shows the real, effective, saved and
// file-system ids.
std::string FourTimes(unsigned id) {
  const std::string one = std::to_string(id);
  return one + "\t" + one + "\t" + one + "\t" + one;
}

void ExpectNoCapabilityLeft(const Status& status) {
  for (const char* mask : {"CapInh", "CapPrm", "CapEff", "CapAmb"}) {
    EXPECT_EQ(status.at(mask), "0000000000000000") << mask;
  }
  EXPECT_EQ(status.at("NoNewPrivs"), "1");
}

// Sets the capabilities the process holds (effective and permitted) to
// `effective` alone.
void KeepOnly(std::uint64_t effective) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  for (int i = 0; i < 2; ++i) {
    data[i].effective = data[i].permitted = static_cast<std::uint32_t>(effective >> (32 * i));
  }
  syscall(SYS_capset, &header, data);
}

// Started as root, the bridge becomes the package's user, else nobody, with
// dialout as its only other group, and holds nothing.
TEST(DropPrivileges, RootBecomesAnUnprivilegedUserInDialout) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const passwd* user = getpwnam("artnet-serial-bridge");
  if (user == nullptr) user = getpwnam("nobody");
  ASSERT_NE(user, nullptr) << "no nobody on this system";
  const unsigned uid = user->pw_uid;
  const unsigned gid = user->pw_gid;
  const group* dialout = getgrnam("dialout");
  const Status status = StatusAfterDrop([] {});
  ASSERT_FALSE(status.empty());
  EXPECT_EQ(status.at("Uid"), FourTimes(uid));
  EXPECT_EQ(status.at("Gid"), FourTimes(gid));
  EXPECT_EQ(status.at("Groups"), dialout != nullptr ? std::to_string(dialout->gr_gid) : "");
  ExpectNoCapabilityLeft(status);
}

// Started by an ordinary user with CAP_NET_RAW (setcap, or the packaged
// unit), it stays that user and drops the capability.
TEST(DropPrivileges, AnOrdinaryUserStaysAndLosesItsCapability) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to play another user";
  const Status status = StatusAfterDrop([] {
    const gid_t groups[] = {12345};
    setgroups(1, groups);
    setresgid(4321, 4321, 4321);
    prctl(PR_SET_KEEPCAPS, 1);
    setresuid(4321, 4321, 4321);
    KeepOnly(std::uint64_t{1} << CAP_NET_RAW);
  });
  ASSERT_FALSE(status.empty());
  EXPECT_EQ(status.at("Uid"), FourTimes(4321));
  EXPECT_EQ(status.at("Gid"), FourTimes(4321));
  EXPECT_EQ(status.at("Groups"), "12345");
  ExpectNoCapabilityLeft(status);
}

// A root that may not change its user (as in a user namespace that maps no
// such user) stays root, without any capability.
TEST(DropPrivileges, ARootThatMayNotChangeUserStillLosesEveryCapability) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const Status status = StatusAfterDrop([] { KeepOnly(std::uint64_t{1} << CAP_NET_RAW); });
  ASSERT_FALSE(status.empty());
  EXPECT_EQ(status.at("Uid"), FourTimes(0));
  ExpectNoCapabilityLeft(status);
}

}  // namespace
