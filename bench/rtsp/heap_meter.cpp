/*
 * heap_meter - counts the heap that libdovu's own code holds, for the
 * fan-out benchmark (LD_PRELOAD into the daemon; never linked into it).
 *
 * It wraps malloc, calloc, realloc, free and the aligned allocators.  An
 * allocation belongs to libdovu when the nearest caller on its stack that
 * is not in the C or C++ runtime (libc, libstdc++, libgcc_s, the loader,
 * this meter) is code of libdovu.so: so operator new and std::string
 * growth count for the library that asked, while what the library's
 * callbacks into the application allocate counts for the application.
 * Such blocks are kept in a table (address -> requested size) until they
 * are freed; the figure is the sum of their requested sizes, live and
 * at its peak.
 *
 * Every 250 ms the "heap_meter" thread writes one line to the file named
 * by DOVU_HEAP_METER_FILE (through a temporary file and a rename):
 *   live_bytes=N live_blocks=N peak_bytes=N
 *
 * LOCK: g_lock (a mutex, which never allocates) guards the table and the counters; nothing
 * else is done under it.
 */
#include <dlfcn.h>
#include <execinfo.h>
#include <link.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
void *__libc_memalign(size_t, size_t);
}

namespace {

/* ---- code ranges ---------------------------------------------------- */
struct range {
    uintptr_t lo, hi;
    bool dovu;
};
constexpr int kMaxRanges = 64;
range g_ranges[kMaxRanges];
int g_nranges = 0;
std::atomic<bool> g_ready{false};

bool is_runtime(const char *name)
{
    static const char *const kRuntime[] = {"libc.so", "libstdc++", "libgcc_s", "ld-linux",
                                           "libdovu_heap_meter", "libm.so"};
    for (const char *r : kRuntime)
        if (strstr(name, r))
            return true;
    return false;
}

int collect(struct dl_phdr_info *info, size_t, void *)
{
    const char *name = info->dlpi_name ? info->dlpi_name : "";
    bool dovu = strstr(name, "libdovu.so") != nullptr;
    if (!dovu && !is_runtime(name))
        return 0;
    for (int i = 0; i < info->dlpi_phnum && g_nranges < kMaxRanges; i++) {
        const ElfW(Phdr) &ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD || !(ph.p_flags & PF_X))
            continue;
        uintptr_t lo = info->dlpi_addr + ph.p_vaddr;
        g_ranges[g_nranges++] = {lo, lo + ph.p_memsz, dovu};
    }
    return 0;
}

/* 1: libdovu code, 0: runtime, -1: anything else. */
int classify(uintptr_t pc)
{
    for (int i = 0; i < g_nranges; i++)
        if (pc >= g_ranges[i].lo && pc < g_ranges[i].hi)
            return g_ranges[i].dovu ? 1 : 0;
    return -1;
}

thread_local bool t_inside = false;

bool from_dovu()
{
    if (!g_ready.load(std::memory_order_acquire) || t_inside)
        return false;
    t_inside = true;
    void *pcs[12];
    int n = backtrace(pcs, 12);
    t_inside = false;
    for (int i = 1; i < n; i++) {
        int c = classify((uintptr_t)pcs[i]);
        if (c != 0)
            return c == 1;
    }
    return false;
}

/* ---- the table of libdovu's live blocks ---------------------------- */
constexpr size_t kSlots = 1u << 18;   /* open addressing, linear probing */
struct slot {
    uintptr_t p;
    size_t size;
};
slot *g_table = nullptr;              /* mmap'd: no recursion into malloc */
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
size_t g_live = 0, g_blocks = 0, g_peak = 0;

struct locked {
    locked() { pthread_mutex_lock(&g_lock); }
    ~locked() { pthread_mutex_unlock(&g_lock); }
};

size_t hash_of(uintptr_t p)
{
    return (size_t)((p >> 4) * 0x9E3779B97F4A7C15ull) & (kSlots - 1);
}

void note_alloc(void *p, size_t size)
{
    if (!p || !g_table)
        return;
    locked lk;
    size_t i = hash_of((uintptr_t)p);
    while (g_table[i].p)
        i = (i + 1) & (kSlots - 1);
    g_table[i] = {(uintptr_t)p, size};
    g_live += size;
    g_blocks++;
    if (g_live > g_peak)
        g_peak = g_live;
}

void note_free(void *p)
{
    if (!p || !g_table)
        return;
    locked lk;
    size_t i = hash_of((uintptr_t)p);
    while (g_table[i].p && g_table[i].p != (uintptr_t)p)
        i = (i + 1) & (kSlots - 1);
    if (!g_table[i].p)
        return;
    g_live -= g_table[i].size;
    g_blocks--;
    /* Backward-shift deletion keeps every probe chain whole. */
    size_t hole = i;
    for (size_t j = (i + 1) & (kSlots - 1); g_table[j].p; j = (j + 1) & (kSlots - 1)) {
        size_t home = hash_of(g_table[j].p);
        bool movable = hole <= j ? (home <= hole || home > j) : (home <= hole && home > j);
        if (movable) {
            g_table[hole] = g_table[j];
            hole = j;
        }
    }
    g_table[hole] = {0, 0};
}

void *writer_main(void *arg)
{
    pthread_setname_np(pthread_self(), "heap_meter");
    const char *path = static_cast<const char *>(arg);
    char tmp[4096];
    snprintf(tmp, sizeof tmp, "%s.tmp", path);
    for (;;) {
        size_t live, blocks, peak;
        {
            locked lk;
            live = g_live, blocks = g_blocks, peak = g_peak;
        }
        FILE *f = fopen(tmp, "w");
        if (f) {
            fprintf(f, "live_bytes=%zu live_blocks=%zu peak_bytes=%zu\n", live, blocks, peak);
            fclose(f);
            rename(tmp, path);
        }
        usleep(250000);
    }
    return nullptr;
}

__attribute__((constructor)) void meter_init()
{
    void *t = mmap(nullptr, kSlots * sizeof(slot), PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (t == MAP_FAILED)
        return;
    g_table = static_cast<slot *>(t);
    /* The unwinder loads on first use (and allocates then): load it now. */
    t_inside = true;
    void *pcs[2];
    backtrace(pcs, 2);
    t_inside = false;
    dl_iterate_phdr(collect, nullptr);
    g_ready.store(true, std::memory_order_release);
    const char *path = getenv("DOVU_HEAP_METER_FILE");
    if (path && *path) {
        pthread_t th;
        if (pthread_create(&th, nullptr, writer_main, strdup(path)) == 0)
            pthread_detach(th);
    }
}

}  // namespace

extern "C" {

void *malloc(size_t n)
{
    void *p = __libc_malloc(n);
    if (p && from_dovu())
        note_alloc(p, n);
    return p;
}

void *calloc(size_t a, size_t b)
{
    void *p = __libc_calloc(a, b);
    if (p && from_dovu())
        note_alloc(p, a * b);
    return p;
}

void *realloc(void *old, size_t n)
{
    void *p = __libc_realloc(old, n);
    if (old && (p || n == 0))
        note_free(old);
    if (p && from_dovu())
        note_alloc(p, n);
    return p;
}

void free(void *p)
{
    note_free(p);
    __libc_free(p);
}

void *memalign(size_t align, size_t n)
{
    void *p = __libc_memalign(align, n);
    if (p && from_dovu())
        note_alloc(p, n);
    return p;
}

void *aligned_alloc(size_t align, size_t n)
{
    return memalign(align, n);
}

int posix_memalign(void **out, size_t align, size_t n)
{
    void *p = __libc_memalign(align, n);
    if (!p)
        return 12; /* ENOMEM */
    if (from_dovu())
        note_alloc(p, n);
    *out = p;
    return 0;
}

}  // extern "C"
