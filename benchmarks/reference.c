/* The same MKL calls made from C, with no Python in between: the floor every binding sits on.
 * Prints "name size value" lines, each value a median over five repeats; run with
 * MKL_NUM_THREADS=1. Built and run by benchmarks/runtime.py. */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>

typedef struct {
  double real, imag;
} Complex16;

void vdAdd(const int n, const double a[], const double b[], double r[]);
void vdExp(const int n, const double a[], double r[]);
void vzMul(const int n, const Complex16 a[], const Complex16 b[], Complex16 r[]);
unsigned int vmlGetMode(void);

enum { REPEATS = 5, LARGE = 1000000, COMPLEX = 10000 };

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

/* Like NumPy's large arrays: on huge pages where the kernel offers them, so the two
 * sides see the same memory system. */
static double* large_array(void) {
  enum { HUGE_PAGE = 1 << 21 };
  size_t bytes = (LARGE * sizeof(double) + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
  double* array = aligned_alloc(HUGE_PAGE, bytes);
#ifdef MADV_HUGEPAGE
  madvise(array, bytes, MADV_HUGEPAGE);
#endif
  return array;
}

/* Two threads calling vdExp on their own arrays, against one thread making all the calls. */
static int thread_n;
static double *thread_inputs[2], *thread_outputs[2];
static pthread_barrier_t start_line, finish_line;
static double began[2], ended[2];
static int next_count; /* the second thread's next run; 0 ends it */

static void exp_calls(long index, int count) {
  for (int i = 0; i < count; i++) vdExp(thread_n, thread_inputs[index], thread_outputs[index]);
}

static void timed_calls(long index, int count) {
  began[index] = now();
  exp_calls(index, count);
  ended[index] = now();
}

/* The second thread lives through every run, as in a thread pool; the main thread is
 * the first. */
static void* second_thread(void* unused) {
  (void)unused;
  for (;;) {
    pthread_barrier_wait(&start_line);
    if (next_count == 0) return NULL;
    timed_calls(1, next_count);
    pthread_barrier_wait(&finish_line);
  }
}

static double one_thread(int count) {
  double t0 = now();
  exp_calls(0, count);
  exp_calls(1, count);
  return now() - t0;
}

static double two_threads(int count) {
  next_count = count;
  pthread_barrier_wait(&start_line);
  timed_calls(0, count);
  pthread_barrier_wait(&finish_line);
  return (ended[0] > ended[1] ? ended[0] : ended[1]) - (began[0] < began[1] ? began[0] : began[1]);
}

/* As in the Python harness: outputs written before any timing (no page is first touched in
 * a timed run), each configuration run untimed right before each timed run, and the two
 * configurations taking turns going first. */
static void two_threads_against_one(int n, int calls) {
  double one[REPEATS], two[REPEATS];
  double (*runs[2])(int) = {one_thread, two_threads};
  double* samples[2] = {one, two};
  int warm_up = calls / 4 > 0 ? calls / 4 : 1;
  pthread_t second;
  thread_n = n;
  for (int index = 0; index < 2; index++) {
    thread_inputs[index] = aligned_alloc(64, ((size_t)n * sizeof(double) + 63) / 64 * 64);
    thread_outputs[index] = aligned_alloc(64, ((size_t)n * sizeof(double) + 63) / 64 * 64);
    for (int i = 0; i < n; i++) {
      thread_inputs[index][i] = (double)((i + 977 * index) % 2000) / 100.0 - 10.0;
      thread_outputs[index][i] = 0.0;
    }
  }
  pthread_barrier_init(&start_line, NULL, 2);
  pthread_barrier_init(&finish_line, NULL, 2);
  pthread_create(&second, NULL, second_thread, NULL);
  one_thread(calls);
  two_threads(calls);
  for (int k = 0; k < REPEATS; k++) {
    for (int turn = 0; turn < 2; turn++) {
      int which = k % 2 ? turn : 1 - turn;
      runs[which](warm_up);
      samples[which][k] = runs[which](calls);
    }
  }
  next_count = 0;
  pthread_barrier_wait(&start_line);
  pthread_join(second, NULL);
  printf("one_thread %d %.9f\ntwo_threads %d %.9f\n", n, median(one), n, median(two));
}

/* Arguments: the number of calls per tiny-call loop; or "threads", the elements per call and
 * the calls per thread, to run only the two-thread experiment. */
int main(int argc, char** argv) {
  if (argc > 3 && strcmp(argv[1], "threads") == 0) {
    two_threads_against_one(atoi(argv[2]), atoi(argv[3]));
    return 0;
  }
  long calls = argc > 1 ? atol(argv[1]) : 1000000;
  double a[8] = {1, 2, 3, 4, 5, 6, 7, 8}, b[8] = {1, 1, 1, 1, 1, 1, 1, 1}, r[8];
  double samples[REPEATS], second[REPEATS];
  volatile unsigned sink = 0;

  for (int n = 1; n <= 8; n += 7) {
    for (int k = 0; k < REPEATS; k++) {
      double t0 = now();
      for (long i = 0; i < calls; i++) vdAdd(n, a, b, r);
      double t1 = now();
      for (long i = 0; i < calls; i++) vdExp(n, a, r);
      samples[k] = (t1 - t0) / (double)calls * 1e9;
      second[k] = (now() - t1) / (double)calls * 1e9;
    }
    printf("vdAdd %d %.3f\nvdExp %d %.3f\n", n, median(samples), n, median(second));
  }
  for (int k = 0; k < REPEATS; k++) {
    double t0 = now();
    for (long i = 0; i < calls; i++) sink += vmlGetMode();
    samples[k] = (now() - t0) / (double)calls * 1e9;
  }
  printf("vmlGetMode 0 %.3f\n", median(samples));

  /* Large arrays: seconds per call. */
  double *input = large_array(), *output = large_array();
  for (int i = 0; i < LARGE; i++) input[i] = (double)(i % 2000) / 100.0 - 10.0;
  vdExp(LARGE, input, output);
  for (int k = 0; k < REPEATS; k++) {
    double t0 = now();
    vdExp(LARGE, input, output);
    samples[k] = now() - t0;
  }
  printf("vdExp %d %.9f\n", LARGE, median(samples));

  Complex16 *za = malloc(COMPLEX * sizeof *za), *zr = malloc(COMPLEX * sizeof *zr);
  for (int i = 0; i < COMPLEX; i++) za[i] = (Complex16){(double)(i % 200) / 100.0 - 1.0, 0.25};
  vzMul(COMPLEX, za, za, zr);
  for (int k = 0; k < REPEATS; k++) {
    double t0 = now();
    vzMul(COMPLEX, za, za, zr);
    samples[k] = now() - t0;
  }
  printf("vzMul %d %.9f\n", COMPLEX, median(samples));
  return 0;
}
