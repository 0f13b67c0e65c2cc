// MKL's vendor check answered "Intel", so that MKL chooses its kernels by the CPU's instruction
// sets alone. libmkl_core asks mkl_serv_get_cpu_true() for the function that tells whether the
// CPU is Intel's, through its PLT; quorvex.mkl loads this object process-wide (RTLD_GLOBAL)
// before libmkl_core is loaded, so that lookup finds this definition before MKL's own.
// Nothing here depends on MKL: the object must load before it.
#include <atomic>

#define QUORVEX_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::atomic<int> vendor_queries{0};

int genuine_intel() { return 1; }

}  // namespace

using VendorCheck = int (*)();

// MKL calls the function returned; nonzero means "an Intel CPU". MKL asks again wherever it
// dispatches, so every query counts.
QUORVEX_EXPORT VendorCheck mkl_serv_get_cpu_true() {
  vendor_queries.fetch_add(1, std::memory_order_relaxed);
  return genuine_intel;
}

// How often MKL asked this object: zero means MKL's own vendor check decided.
QUORVEX_EXPORT int quorvex_vendor_queries() {
  return vendor_queries.load(std::memory_order_relaxed);
}
