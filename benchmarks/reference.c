/* The C side of the benchmarks: MKL called with no Python in between, and plain loops.
 * Each experiment prints "key value" lines, each value a median of five runs (a key may hold
 * spaces, the value none). Built and run by benchmarks/harness.py with MKL_NUM_THREADS=1:
 *   calls N                   ns per call of tiny vdAdd, vdExp, vmlGetMode; vdExp at 10^6
 *   threads n calls           vdExp on n elements: one thread making 2 x calls, two threads
 *   blackscholes n block T    Black-Scholes's MKL calls on one block, n/block times, T threads
 *   blackscholes n block T m  the same calls and loops over n options in memory, block by block
 *   arithmetic n T            numexpr's arithmetic expressions, a dot product and a selection,
 *                             each in one pass over n elements */
#include <math.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>

void vdAdd(const int n, const double a[], const double b[], double r[]);
void vdExp(const int n, const double a[], double r[]);
void vdLn(const int n, const double a[], double r[]);
void vdSqrt(const int n, const double a[], double r[]);
void vdCdfNorm(const int n, const double a[], double r[]);
unsigned int vmlGetMode(void);

#ifdef CPU_KERNELS
/* MKL asks this for a function saying whether the CPU is Intel's: yes, so the CPU's
 * features alone choose the kernels, as QUORVEX_MKL_KERNELS=cpu does for the package. */
static int intel(void) { return 1; }
void* mkl_serv_get_cpu_true(void) { return (void*)intel; }
#endif

enum { REPEATS = 5 };

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

static int by_value(const void* a, const void* b) {
  double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

static double median(double* samples) {
  qsort(samples, REPEATS, sizeof *samples, by_value);
  return samples[REPEATS / 2];
}

/* On huge pages where the kernel offers them, as NumPy's large arrays are; filled, so that no
 * page is first touched in a timed run. */
static double* array(size_t n, double low, double high) {
  size_t bytes = (n * sizeof(double) + (1u << 21) - 1) & ~(size_t)((1u << 21) - 1);
  double* a = aligned_alloc(1u << 21, bytes);
  madvise(a, bytes, MADV_HUGEPAGE);
  for (size_t i = 0; i < n; i++) a[i] = low + (high - low) * (double)(i % 1000) / 1000.0;
  return a;
}

static void print_kernels(void) {
  char line[512];
  FILE* maps = fopen("/proc/self/maps", "r");
  while (maps && fgets(line, sizeof line, maps))
    if (strstr(line, "libmkl_vml_")) {
      printf("kernels %s", strrchr(line, '/') + 1);
      break;
    }
  if (maps) fclose(maps);
}

/* Threads that each run `work(index)` between two barriers, started once, as a pool; `pool.arg`
 * is the work's argument. */
typedef void (*Work)(int index);
static struct {
  int count;
  Work work;
  long arg;
  pthread_barrier_t start, finish;
} pool;

static void* pool_thread(void* index) {
  for (;;) {
    pthread_barrier_wait(&pool.start);
    if (pool.work == NULL) return NULL;
    pool.work((int)(long)index);
    pthread_barrier_wait(&pool.finish);
  }
}

static void pool_start(int count) {
  pool.count = count;
  pthread_barrier_init(&pool.start, NULL, (unsigned)count);
  pthread_barrier_init(&pool.finish, NULL, (unsigned)count);
  for (long i = 1; i < count; i++) {
    pthread_t thread;
    pthread_create(&thread, NULL, pool_thread, (void*)i);
    pthread_detach(thread);
  }
}

static double pool_run(Work work, long arg) {
  double t0 = now();
  pool.work = work, pool.arg = arg;
  if (pool.count > 1) pthread_barrier_wait(&pool.start);
  work(0);
  if (pool.count > 1) pthread_barrier_wait(&pool.finish);
  return now() - t0;
}

static double timed(Work work, long arg) {
  double samples[REPEATS];
  pool_run(work, arg);
  for (int k = 0; k < REPEATS; k++) samples[k] = pool_run(work, arg);
  return median(samples);
}

/* vdExp on each thread's own arrays. */
static int exp_n;
static double *exp_in[2], *exp_out[2];
static void exp_calls(int index) {
  for (long i = 0, calls = pool.arg; i < calls; i++) vdExp(exp_n, exp_in[index], exp_out[index]);
}
static void both_arrays(int index) {
  exp_calls(index);
  exp_calls(1 - index);
}

static void threads(int n, long calls) {
  exp_n = n;
  for (int i = 0; i < 2; i++)
    exp_in[i] = array((size_t)n, -10, 10), exp_out[i] = array((size_t)n, 0, 0);
  pool_start(1);
  double one = timed(both_arrays, calls);
  pool_start(2);
  printf("one_thread %.9f\ntwo_threads %.9f\n", one, timed(exp_calls, calls));
}

static void calls(long count) {
  double a[8] = {1, 2, 3, 4, 5, 6, 7, 8}, b[8] = {1, 1, 1, 1, 1, 1, 1, 1}, r[8];
  double add[REPEATS], exp[REPEATS], mode[REPEATS];
  volatile unsigned sink = 0;
  for (int n = 1; n <= 8; n += 7) {
    for (int k = 0; k < REPEATS; k++) {
      double t0 = now();
      for (long i = 0; i < count; i++) vdAdd(n, a, b, r);
      double t1 = now();
      for (long i = 0; i < count; i++) vdExp(n, a, r);
      double t2 = now();
      for (long i = 0; i < count; i++) sink += vmlGetMode();
      add[k] = (t1 - t0) / (double)count * 1e9, exp[k] = (t2 - t1) / (double)count * 1e9;
      mode[k] = (now() - t2) / (double)count * 1e9;
    }
    printf("vdAdd/%d %.3f\nvdExp/%d %.3f\n", n, median(add), n, median(exp));
  }
  printf("vmlGetMode %.3f\n", median(mode));
  exp_n = 1000000, exp_in[0] = array(1000000, -10, 10), exp_out[0] = array(1000000, 0, 0);
  pool_start(1);
  printf("vdExp/1000000 %.9f\n", timed(exp_calls, 1));
}

/* Black-Scholes call prices on one cache-resident block per thread: every block of the
 * n elements costs the same MKL calls and loops, with no memory traffic beyond the block. */
enum { MAX_THREADS = 16 };
static int block;
static double* blocks[MAX_THREADS]; /* per thread: s, k, t and five registers */
static const double rate = 0.02, volatility = 0.3;

static long options_n;
static double* options[4]; /* s, k, t and prices of n options in memory, or none */

static void black_scholes(int index) {
  double *s = blocks[index], *k = s + block, *t = k + block, *a = t + block, *b = a + block;
  double *d1 = b + block, *d2 = d1 + block, *price = d2 + block;
  for (long repeat = index, count = pool.arg; repeat < count; repeat += pool.count) {
    long at = repeat * block; /* the last block holds the options that are left */
    int m = options_n - at < block ? (int)(options_n - at) : block;
    if (options[0]) /* each block its own options, read from memory and written there */
      s = options[0] + at, k = options[1] + at, t = options[2] + at, price = options[3] + at;
    for (int i = 0; i < m; i++) a[i] = s[i] / k[i];
    vdLn(m, a, a);
    vdSqrt(m, t, b);
    for (int i = 0; i < m; i++) {
      double sigma = volatility * b[i];
      d1[i] = (a[i] + (rate + 0.5 * volatility * volatility) * t[i]) / sigma;
      d2[i] = d1[i] - sigma;
      a[i] = -rate * t[i];
    }
    vdExp(m, a, a);
    vdCdfNorm(m, d1, d1);
    vdCdfNorm(m, d2, d2);
    for (int i = 0; i < m; i++) price[i] = s[i] * d1[i] - k[i] * a[i] * d2[i];
  }
}

static void blackscholes(long n, int size, int count, int in_memory) {
  block = (long)size < n ? size : (int)n; /* no more than the options */
  count = count < MAX_THREADS ? count : MAX_THREADS;
  for (int j = 0; j < count; j++) {
    blocks[j] = calloc(8 * (size_t)block, sizeof(double));
    for (int i = 0; i < block; i++) {
      blocks[j][i] = 50.0 + (double)(i % 100);
      blocks[j][block + i] = 40.0 + (double)(i % 120);
      blocks[j][2 * block + i] = 0.25 + (double)(i % 40) / 20.0;
    }
  }
  options_n = n;
  if (in_memory) {
    options[0] = array((size_t)n, 50, 150), options[1] = array((size_t)n, 40, 160);
    options[2] = array((size_t)n, 0.25, 2.25), options[3] = array((size_t)n, 0, 0);
  }
  pool_start(count);
  printf("seconds %.9f\nblock %d\n", timed(black_scholes, (n + block - 1) / block), block);
  print_kernels();
}

/* numexpr's arithmetic benchmark expressions, one pass each, the range split among threads. */
static long length;
static double *xa, *xb, *xc, *xr;
#define SPLIT for (long i = length * index / pool.count; i < length * (index + 1) / pool.count; i++)
static void linear(int index) { SPLIT xr[i] = 2 * xa[i] + 3 * xb[i]; }
static void product_sum(int index) { SPLIT xr[i] = xa[i] * xb[i] + xc[i]; }
static void polynomial(int index) { SPLIT xr[i] = ((.25 * xa[i] + .75) * xa[i] - 1.5) * xa[i] - 2; }
static volatile double partials[64]; /* read by no one: volatile keeps the loop */
/* Eight sums, in vector registers: the values come as fast as memory gives them. */
static void dot(int index) {
  long i = length * index / pool.count, end = length * (index + 1) / pool.count;
  double s[8] = {0};
  for (; i + 8 <= end; i += 8)
    for (int j = 0; j < 8; j++) s[j] += xa[i + j] * xb[i + j];
  for (; i < end; i++) s[0] += xa[i] * xb[i];
  partials[index] = ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
}
static void larger(int index) { SPLIT xr[i] = xa[i] > xb[i] ? xa[i] : xb[i]; }

static void arithmetic(long n, int count) {
  length = n, xa = array((size_t)n, -1, 1), xb = array((size_t)n, 0, 1);
  xc = array((size_t)n, 1, 2), xr = array((size_t)n, 0, 0);
  pool_start(count);
  printf("2*a+3*b %.9f\n", timed(linear, 0));
  printf("a*b+c %.9f\n", timed(product_sum, 0));
  printf("((.25*a + .75)*a - 1.5)*a - 2 %.9f\n", timed(polynomial, 0));
  printf("sum(a*b) %.9f\n", timed(dot, 0));
  printf("where(a > b, a, b) %.9f\n", timed(larger, 0));
}

int main(int argc, char** argv) {
  const char* what = argc > 1 ? argv[1] : "";
  if (strcmp(what, "calls") == 0 && argc > 2) {
    calls(atol(argv[2]));
  } else if (strcmp(what, "threads") == 0 && argc > 3) {
    threads(atoi(argv[2]), atol(argv[3]));
  } else if (strcmp(what, "blackscholes") == 0 && argc > 4) {
    blackscholes(atol(argv[2]), atoi(argv[3]), atoi(argv[4]), argc > 5);
  } else if (strcmp(what, "arithmetic") == 0 && argc > 3) {
    arithmetic(atol(argv[2]), atoi(argv[3]));
  } else {
    fprintf(stderr, "usage: see the comment at the top of reference.c\n");
    return 2;
  }
  return 0;
}
