/* fail-writes: preloaded into a Wine process by the Windows tests
 * (LD_PRELOAD), it makes the process's writes to one terminal fail, as a
 * serial driver fails every write to a port it has lost: each write() to the
 * character device named in the file $ARTNET_FAIL_WRITES fails with the errno
 * given there, for as long as the file says so. Wine turns that errno into the
 * Win32 error the bridge sees (ETIME becomes ERROR_SEM_TIMEOUT, 121), so the
 * bridge's handling of a port that keeps failing is tested on the real Wine
 * path, below WriteFile.
 *
 * The file holds "RDEV ERRNO" (the device number as stat() gives it, and the
 * errno, in decimal); without the file, or with other contents, every write
 * goes through. Linux only; a test tool, never part of the bridge. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

static ssize_t (*real_write)(int, const void*, size_t);

/* The errno the file asks writes to `device` to fail with, or 0. */
static int FailureFor(dev_t device) {
  const char* path = getenv("ARTNET_FAIL_WRITES");
  if (path == NULL) return 0;
  const int file = open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) return 0;
  char text[64] = {0};
  const ssize_t got = read(file, text, sizeof text - 1);
  close(file);
  unsigned long long wanted = 0;
  int error = 0;
  if (got <= 0 || sscanf(text, "%llu %d", &wanted, &error) != 2) return 0;
  return wanted == (unsigned long long)device ? error : 0;
}

ssize_t write(int fd, const void* data, size_t size) {
  if (real_write == NULL) real_write = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
  struct stat status;
  if (fstat(fd, &status) == 0 && S_ISCHR(status.st_mode)) {
    const int error = FailureFor(status.st_rdev);
    if (error != 0) {
      errno = error;
      return -1;
    }
  }
  return real_write(fd, data, size);
}
