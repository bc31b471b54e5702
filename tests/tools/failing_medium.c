// A failing disk for tests: serves IMAGE read-only as MOUNTPOINT/medium through FUSE. A read
// request that touches a listed bad 512-byte sector waits --delay-ms and fails with EIO as a
// whole, as a disk's driver fails the whole request; the rest are served. Every request that
// arrives is logged as "monotonic_seconds offset length ok|EIO".
//
//   failing_medium IMAGE MOUNTPOINT --bad FILE --delay-ms N --log FILE [--max-read BYTES]
//                  [--read-delay-us N]   (every read waits N µs: a slow disk)
//                  [FUSE options]
//
// FILE holds sector numbers, one a line, or "first-last" ranges; '#' starts a comment.
// direct_io and no read-ahead make every pread of the medium reach this program; the kernel
// still splits large reads into pieces of at most max_read bytes: --max-read, or what the kernel
// allows (up to 1 MiB on recent kernels).
#define FUSE_USE_VERSION 31

#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define SECTOR 512

struct range {
  uint64_t first, last;  // inclusive sector numbers
};

static int image_fd = -1;
static off_t image_size;
static struct range* bad;
static size_t bad_count;
static long delay_ms;
static long read_delay_us;  // every read waits this long, as a slow disk: runs to interrupt
static unsigned max_read;  // 0: the kernel's limit
static int log_fd = -1;
static const char medium_path[] = "/medium";

static int by_first(const void* a, const void* b) {
  const struct range* x = a;
  const struct range* y = b;
  return x->first < y->first ? -1 : x->first > y->first;
}

// Reads the bad-sector list into `bad`, sorted and merged.
static int load_bad(const char* path) {
  FILE* file = fopen(path, "r");
  if (!file) {
    perror(path);
    return -1;
  }
  size_t capacity = 0;
  char line[256];
  unsigned line_number = 0;
  while (fgets(line, sizeof line, file)) {
    ++line_number;
    char* hash = strchr(line, '#');
    if (hash) *hash = '\0';
    uint64_t first, last;
    char tail;
    int fields = sscanf(line, " %" SCNu64 " - %" SCNu64 " %c", &first, &last, &tail);
    if (fields == 1) {
      last = first;
    } else if (fields != 2 || last < first) {
      char rest;
      if (sscanf(line, " %c", &rest) != 1) continue;  // blank line
      fprintf(stderr, "%s:%u: not a sector number or first-last range\n", path, line_number);
      fclose(file);
      return -1;
    }
    if (bad_count == capacity) {
      capacity = capacity ? capacity * 2 : 64;
      bad = realloc(bad, capacity * sizeof *bad);
      if (!bad) abort();
    }
    bad[bad_count++] = (struct range){first, last};
  }
  fclose(file);
  qsort(bad, bad_count, sizeof *bad, by_first);
  size_t merged = 0;
  for (size_t i = 0; i < bad_count; ++i) {
    if (merged && bad[i].first <= bad[merged - 1].last + 1) {
      if (bad[i].last > bad[merged - 1].last) bad[merged - 1].last = bad[i].last;
    } else {
      bad[merged++] = bad[i];
    }
  }
  bad_count = merged;
  return 0;
}

// Whether any sector of [first, last] is bad.
static int touches_bad(uint64_t first, uint64_t last) {
  size_t lo = 0, hi = bad_count;  // the first range that ends at or after `first`
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    if (bad[mid].last < first) lo = mid + 1; else hi = mid;
  }
  return lo < bad_count && bad[lo].first <= last;
}

// One write(2) per line with O_APPEND: lines of concurrent requests never interleave, and each
// is in the file as soon as the request is answered.
static void log_request(off_t offset, size_t length, int ok) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  char line[128];
  int n = snprintf(line, sizeof line, "%lld.%09ld %lld %zu %s\n", (long long)now.tv_sec,
                   now.tv_nsec, (long long)offset, length, ok ? "ok" : "EIO");
  if (write(log_fd, line, (size_t)n) != n) perror("failing_medium: log");
}

static int medium_getattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
  (void)fi;
  memset(st, 0, sizeof *st);
  if (strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0555;
    st->st_nlink = 2;
  } else if (strcmp(path, medium_path) == 0) {
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = image_size;
    st->st_blksize = SECTOR;
    st->st_blocks = (image_size + SECTOR - 1) / SECTOR;
  } else {
    return -ENOENT;
  }
  return 0;
}

static int medium_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t offset,
                          struct fuse_file_info* fi, enum fuse_readdir_flags flags) {
  (void)offset, (void)fi, (void)flags;
  if (strcmp(path, "/") != 0) return -ENOENT;
  fill(buf, ".", NULL, 0, 0);
  fill(buf, "..", NULL, 0, 0);
  fill(buf, medium_path + 1, NULL, 0, 0);
  return 0;
}

static int medium_open(const char* path, struct fuse_file_info* fi) {
  if (strcmp(path, medium_path) != 0) return -ENOENT;
  if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
  fi->direct_io = 1;
  fi->keep_cache = 0;
  return 0;
}

static int medium_read(const char* path, char* buf, size_t size, off_t offset,
                       struct fuse_file_info* fi) {
  (void)path, (void)fi;
  if (offset >= image_size || size == 0) {
    log_request(offset, size, 1);
    return 0;
  }
  size_t length = (size_t)(image_size - offset) < size ? (size_t)(image_size - offset) : size;
  if (touches_bad((uint64_t)offset / SECTOR, ((uint64_t)offset + length - 1) / SECTOR)) {
    struct timespec wait = {delay_ms / 1000, (delay_ms % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) == -1 && errno == EINTR) {}
    log_request(offset, size, 0);
    return -EIO;
  }
  if (read_delay_us > 0) {
    struct timespec wait = {read_delay_us / 1000000, (read_delay_us % 1000000) * 1000L};
    while (nanosleep(&wait, &wait) == -1 && errno == EINTR) {}
  }
  size_t done = 0;
  while (done < length) {
    ssize_t n = pread(image_fd, buf + done, length - done, offset + (off_t)done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      log_request(offset, size, 0);
      return -EIO;
    }
    done += (size_t)n;
  }
  log_request(offset, size, 1);
  return (int)done;
}

static void* medium_init(struct fuse_conn_info* conn, struct fuse_config* cfg) {
  conn->max_readahead = 0;
  // libfuse wants the mount option and init() to agree
  if (max_read) conn->max_read = max_read;
  cfg->direct_io = 1;
  cfg->kernel_cache = 0;
  cfg->auto_cache = 0;
  return NULL;
}

static const struct fuse_operations operations = {
    .getattr = medium_getattr,
    .readdir = medium_readdir,
    .open = medium_open,
    .read = medium_read,
    .init = medium_init,
};

static int usage(void) {
  fprintf(stderr,
          "usage: failing_medium IMAGE MOUNTPOINT --bad FILE --delay-ms N --log FILE "
          "[--max-read BYTES] [--read-delay-us N] [FUSE options]\n");
  return 2;
}

int main(int argc, char** argv) {
  const char *image = NULL, *bad_file = NULL, *log_file = NULL;
  int have_delay = 0;
  // What FUSE is given: the program's name, the mount point and the FUSE options.
  char** fuse_args = calloc((size_t)argc + 3, sizeof *fuse_args);
  if (!fuse_args) abort();
  int fuse_count = 0;
  fuse_args[fuse_count++] = argv[0];
  for (int i = 1; i < argc; ++i) {
    const int has_value = i + 1 < argc;
    if (strcmp(argv[i], "--bad") == 0 && has_value) {
      bad_file = argv[++i];
    } else if (strcmp(argv[i], "--read-delay-us") == 0 && has_value) {
      char* end;
      read_delay_us = strtol(argv[++i], &end, 10);
      if (*end || read_delay_us < 0) return usage();
    } else if (strcmp(argv[i], "--delay-ms") == 0 && has_value) {
      char* end;
      delay_ms = strtol(argv[++i], &end, 10);
      if (*end || delay_ms < 0) return usage();
      have_delay = 1;
    } else if (strcmp(argv[i], "--max-read") == 0 && has_value) {
      char* end;
      unsigned long n = strtoul(argv[++i], &end, 10);
      if (*end || n < 4096 || n > 1u << 24) return usage();
      max_read = (unsigned)n;
    } else if (strcmp(argv[i], "--log") == 0 && has_value) {
      log_file = argv[++i];
    } else if (!image && argv[i][0] != '-') {
      image = argv[i];
    } else {
      fuse_args[fuse_count++] = argv[i];
    }
  }
  if (!image || !bad_file || !log_file || !have_delay || fuse_count < 2) return usage();

  image_fd = open(image, O_RDONLY);
  struct stat st;
  if (image_fd < 0 || fstat(image_fd, &st) != 0) {
    perror(image);
    return 1;
  }
  image_size = st.st_size;
  if (load_bad(bad_file) != 0) return 1;
  log_fd = open(log_file, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  if (log_fd < 0) {
    perror(log_file);
    return 1;
  }
  fuse_args[fuse_count++] = "-oro,default_permissions,fsname=failing_medium";
  char max_read_option[32];
  if (max_read) {
    snprintf(max_read_option, sizeof max_read_option, "-omax_read=%u", max_read);
    fuse_args[fuse_count++] = max_read_option;
  }
  return fuse_main(fuse_count, fuse_args, &operations, NULL);
}
