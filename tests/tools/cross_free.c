/* A preloaded library that watches frees crossing between a host's thread and the module's threads.

   glibc's malloc keeps one arena per thread: the main thread's is the main arena, every other thread
   gets one of its own. A thread that frees a chunk of another thread's arena takes that arena's lock
   (once its own cache of free chunks of that size is full; small chunks go to a lock-free list), and
   the chunks it caches meanwhile become its own allocations later. So the module keeps memory from
   crossing at all: the host's thread frees nothing of a module thread's arena, and no module thread
   frees anything of the main arena.

   This library counts every free (and realloc, which frees) that breaks that rule, on a host whose
   Lua thread is its main thread and whose module threads carry names beginning "qm" (the short
   names the module gives its threads): the main thread freeing a chunk of another arena, and a "qm"
   thread freeing a chunk of the main arena. Chunks of their own mapping are not in an arena and are
   not counted. For each distinct call stack it keeps the count, the chunk size and the return
   addresses, and at exit writes them to the file named by QM_CROSS_FREE_REPORT (else stderr), one
   line per stack:

     cross DIRECTION SIZE COUNT FILE+0xOFFSET ...

   with DIRECTION "host-frees-module" or "module-frees-host" and SIZE "small" (a chunk of at most 128
   bytes, freed without a lock) or "large" (a realloc is always large: it locks the chunk's arena). A line "total N" ends the report. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

extern void *__libc_realloc(void *ptr, size_t size);
extern void __libc_free(void *ptr);

enum { kUnknown = 0, kHost = 1, kModule = 2, kOther = 3 };
enum { kDepth = 16, kSites = 256 };

struct Site {
  uint64_t hash;
  int direction; /* 0: host frees module memory; 1: module frees host memory */
  int large;
  atomic_ulong count;
  int depth;
  void *frames[kDepth];
};

static struct Site sites[kSites];
static atomic_int site_lock;
static atomic_ulong total;
static atomic_ulong dropped; /* crossings of stacks beyond the table */

static __thread int side __attribute__((tls_model("initial-exec")));
static __thread unsigned recheck __attribute__((tls_model("initial-exec")));
static __thread int inside __attribute__((tls_model("initial-exec")));

static int thread_side(void) {
  if (side == kHost || side == kModule) return side;
  if (side == kOther && ++recheck % 256 != 0) return side;
  if (syscall(SYS_gettid) == getpid()) return side = kHost;
  char name[17] = {0};
  if (prctl(PR_GET_NAME, name, 0, 0, 0) == 0 && name[0] == 'q' && name[1] == 'm') return side = kModule;
  return side = kOther; /* named later, maybe: looked at again now and then */
}

static void record(int direction, size_t chunk) {
  if (inside) return;
  inside = 1;
  void *frames[kDepth + 2];
  int n = backtrace(frames, kDepth + 2);
  /* Drop this library's own two frames. */
  int skip = n > 2 ? 2 : 0;
  uint64_t hash = 1469598103934665603ull ^ (uint64_t)direction;
  for (int i = skip; i < n; ++i) hash = (hash ^ (uint64_t)(uintptr_t)frames[i]) * 1099511628211ull;
  const int large = chunk > 128;
  hash = (hash ^ (uint64_t)large) * 1099511628211ull;
  atomic_fetch_add(&total, 1);
  while (atomic_exchange(&site_lock, 1)) {
  }
  int slot = -1;
  for (int i = 0; i < kSites; ++i) {
    if (atomic_load(&sites[i].count) == 0) {
      slot = i;
      sites[i].hash = hash;
      sites[i].direction = direction;
      sites[i].large = large;
      sites[i].depth = n - skip;
      memcpy(sites[i].frames, frames + skip, sizeof(void *) * (size_t)(n - skip));
      break;
    }
    if (sites[i].hash == hash) {
      slot = i;
      break;
    }
  }
  if (slot >= 0) {
    atomic_fetch_add(&sites[slot].count, 1);
  } else {
    atomic_fetch_add(&dropped, 1);
  }
  atomic_store(&site_lock, 0);
  inside = 0;
}

/* glibc's chunk header: the size word just below the pointer; bit 1 marks a chunk of its own mapping,
   bit 2 a chunk outside the main arena. */
static void check(void *ptr, int reallocating) {
  if (ptr == NULL) return;
  const size_t word = ((const size_t *)ptr)[-1];
  if (word & 2) return;
  const int main_arena = (word & 4) == 0;
  const int s = thread_side();
  /* A realloc always locks the chunk's arena, whatever the size. */
  const size_t chunk = reallocating ? SIZE_MAX : word & ~(size_t)7;
  if (s == kHost && !main_arena) record(0, chunk);
  if (s == kModule && main_arena) record(1, chunk);
}

void free(void *ptr) {
  check(ptr, 0);
  __libc_free(ptr);
}

void *realloc(void *ptr, size_t size) {
  check(ptr, 1);
  return __libc_realloc(ptr, size);
}

static void write_frame(FILE *out, void *address) {
  Dl_info info;
  if (dladdr(address, &info) && info.dli_fname) {
    /* The return address less one: the call itself, which is what a symboliser should name. */
    fprintf(out, " %s+0x%lx", info.dli_fname, (unsigned long)((char *)address - (char *)info.dli_fbase - 1));
  } else {
    fprintf(out, " ?+%p", address);
  }
}

__attribute__((constructor)) static void prime(void) {
  /* backtrace loads the unwinder on its first use, which allocates: do that now, not inside a free. */
  void *frames[2];
  inside = 1;
  (void)backtrace(frames, 2);
  inside = 0;
}

__attribute__((destructor)) static void report(void) {
  inside = 1;
  const char *path = getenv("QM_CROSS_FREE_REPORT");
  FILE *out = path ? fopen(path, "w") : stderr;
  if (out == NULL) out = stderr;
  while (atomic_exchange(&site_lock, 1)) {
  }
  for (int i = 0; i < kSites; ++i) {
    const unsigned long count = atomic_load(&sites[i].count);
    if (count == 0) break;
    fprintf(out, "cross %s %s %lu", sites[i].direction == 0 ? "host-frees-module" : "module-frees-host",
            sites[i].large ? "large" : "small", count);
    for (int f = 0; f < sites[i].depth; ++f) write_frame(out, sites[i].frames[f]);
    fputc('\n', out);
  }
  fprintf(out, "total %lu\n", (unsigned long)atomic_load(&total));
  if (atomic_load(&dropped)) fprintf(out, "unrecorded %lu\n", (unsigned long)atomic_load(&dropped));
  atomic_store(&site_lock, 0);
  if (out != stderr) fclose(out);
}
