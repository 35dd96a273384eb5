#include <linux/filter.h>
#include <sys/socket.h>

#include <cstddef>
#include <vector>

#include "net/capture_filter.h"

// The portable program must mean to the kernel what it means to its tests.
static_assert(sizeof(BpfInstruction) == sizeof(sock_filter));
static_assert(offsetof(BpfInstruction, code) == offsetof(sock_filter, code));
static_assert(offsetof(BpfInstruction, jt) == offsetof(sock_filter, jt));
static_assert(offsetof(BpfInstruction, jf) == offsetof(sock_filter, jf));
static_assert(offsetof(BpfInstruction, k) == offsetof(sock_filter, k));
static_assert(bpf::kLd == BPF_LD && bpf::kLdx == BPF_LDX && bpf::kAlu == BPF_ALU &&
              bpf::kJmp == BPF_JMP && bpf::kRet == BPF_RET);
static_assert(bpf::kW == BPF_W && bpf::kH == BPF_H && bpf::kB == BPF_B);
static_assert(bpf::kAbs == BPF_ABS && bpf::kInd == BPF_IND && bpf::kLen == BPF_LEN &&
              bpf::kMsh == BPF_MSH);
static_assert(bpf::kSub == BPF_SUB && bpf::kJeq == BPF_JEQ && bpf::kJgt == BPF_JGT);
static_assert(bpf::kK == BPF_K && bpf::kX == BPF_X);

bool AttachArtNetCaptureFilter(int fd) {
  const std::vector<BpfInstruction> program = ArtNetCaptureFilter();
  std::vector<sock_filter> filter(program.size());
  for (std::size_t i = 0; i < program.size(); ++i) {
    filter[i] = sock_filter{program[i].code, program[i].jt, program[i].jf, program[i].k};
  }
  sock_fprog fprog{};
  fprog.len = static_cast<unsigned short>(filter.size());
  fprog.filter = filter.data();
  // The kernel copies the program, so it need not outlive this call.
  return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &fprog, sizeof fprog) == 0;
}
