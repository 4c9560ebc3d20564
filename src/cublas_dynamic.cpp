#include "cublas_dynamic.h"

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "yv/runtime/runtime.h"

CublasDynamic cublas_dynamic;

std::vector<const char*> CublasDynamic::library_names() {
  return {"libcublas.so.13", "libcublas.so"};
}

void CublasDynamic::loadLibrary(const std::vector<const char*>& libraries) {
  handle = nullptr;
  for (const char* library : libraries)
    if ((handle = dlopen(library, RTLD_NOW))) break;
  if (!handle) throw std::runtime_error("Cannot open cublas lib");
  dlerror();  // clear a stale error so that the checks below see only our look-ups
  // Each field is written before its check, so a missing routine leaves the earlier fields set,
  // its own field as dlsym returned it and the later ones untouched.
  const auto check = []() {
    if (const char* error = dlerror()) throw std::runtime_error(error);
  };
  create = reinterpret_cast<CreateFn>(dlsym(handle, "cublasCreate_v2"));
  check();
  destroy = reinterpret_cast<DestroyFn>(dlsym(handle, "cublasDestroy_v2"));
  check();
  sgemm = reinterpret_cast<SgemmFn>(dlsym(handle, "cublasSgemm_v2"));
  check();
  sgemv = reinterpret_cast<SgemvFn>(dlsym(handle, "cublasSgemv_v2"));
  check();
  snrm2 = reinterpret_cast<Snrm2Fn>(dlsym(handle, "cublasSnrm2_v2"));
  check();
}

void CublasDynamic::load() {
  if (yv::rt::onGpu()) {
    loadLibrary(library_names());
    return;
  }
  // Without a GPU the routines are our own; the handle names the program itself so that a
  // loaded record is told from an unloaded one the same way on both back ends.
  handle = dlopen(nullptr, RTLD_NOW);
  create = &cublas_host::create;
  destroy = &cublas_host::destroy;
  sgemm = &cublas_host::sgemm;
  sgemv = &cublas_host::sgemv;
  snrm2 = &cublas_host::snrm2;
}

std::string cublas_status_name(cublasStatus_t status) {
  switch (status) {
    case CUBLAS_STATUS_SUCCESS: return "CUBLAS_STATUS_SUCCESS";
    case CUBLAS_STATUS_NOT_INITIALIZED: return "CUBLAS_STATUS_NOT_INITIALIZED";
    case CUBLAS_STATUS_ALLOC_FAILED: return "CUBLAS_STATUS_ALLOC_FAILED";
    case CUBLAS_STATUS_INVALID_VALUE: return "CUBLAS_STATUS_INVALID_VALUE";
    case CUBLAS_STATUS_ARCH_MISMATCH: return "CUBLAS_STATUS_ARCH_MISMATCH";
    case CUBLAS_STATUS_MAPPING_ERROR: return "CUBLAS_STATUS_MAPPING_ERROR";
    case CUBLAS_STATUS_EXECUTION_FAILED: return "CUBLAS_STATUS_EXECUTION_FAILED";
    case CUBLAS_STATUS_INTERNAL_ERROR: return "CUBLAS_STATUS_INTERNAL_ERROR";
    case CUBLAS_STATUS_NOT_SUPPORTED: return "CUBLAS_STATUS_NOT_SUPPORTED";
    case CUBLAS_STATUS_LICENSE_ERROR: return "CUBLAS_STATUS_LICENSE_ERROR";
    default: return "unknown cuBLAS status " + std::to_string(int(status));
  }
}

namespace cublas_host {

namespace {

// What a host handle points to; the tag tells a handle of ours from a stray pointer.
struct Context {
  unsigned tag;
};
constexpr unsigned kTag = 0x6375626cu;

bool valid(cublasHandle_t handle) {
  return handle && reinterpret_cast<const Context*>(handle)->tag == kTag;
}

bool validOp(cublasOperation_t op) {
  return op == CUBLAS_OP_N || op == CUBLAS_OP_T || op == CUBLAS_OP_C;
}

// Element i of a vector of length n with stride inc; a negative stride walks from the far end,
// as BLAS defines it.
inline std::ptrdiff_t vectorIndex(int i, int n, int inc) {
  return inc > 0 ? std::ptrdiff_t(i) * inc : std::ptrdiff_t(n - 1 - i) * (-inc);
}

}  // namespace

cublasStatus_t create(cublasHandle_t* handle) {
  if (!handle) return CUBLAS_STATUS_INVALID_VALUE;
  Context* c = new (std::nothrow) Context{kTag};
  if (!c) return CUBLAS_STATUS_ALLOC_FAILED;
  *handle = reinterpret_cast<cublasHandle_t>(c);
  return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t destroy(cublasHandle_t handle) {
  if (!valid(handle)) return CUBLAS_STATUS_NOT_INITIALIZED;
  Context* c = reinterpret_cast<Context*>(handle);
  c->tag = 0;
  delete c;
  return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t sgemm(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb,
                     int m, int n, int k, const float* alpha, const float* A, int lda,
                     const float* B, int ldb, const float* beta, float* C, int ldc) {
  if (!valid(handle)) return CUBLAS_STATUS_NOT_INITIALIZED;
  const bool ta = transa != CUBLAS_OP_N, tb = transb != CUBLAS_OP_N;
  if (!validOp(transa) || !validOp(transb) || m < 0 || n < 0 || k < 0 ||
      lda < std::max(1, ta ? k : m) || ldb < std::max(1, tb ? n : k) || ldc < std::max(1, m))
    return CUBLAS_STATUS_INVALID_VALUE;
  if (m == 0 || n == 0) return CUBLAS_STATUS_SUCCESS;
  if (!alpha || !beta) return CUBLAS_STATUS_INVALID_VALUE;
  const float a = *alpha, b = *beta;
  if ((a == 0.f || k == 0) && b == 1.f) return CUBLAS_STATUS_SUCCESS;
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < m; ++i) {
      float sum = 0.f;
      if (a != 0.f) {
        for (int l = 0; l < k; ++l) {
          const float av = ta ? A[std::size_t(i) * lda + l] : A[std::size_t(l) * lda + i];
          const float bv = tb ? B[std::size_t(l) * ldb + j] : B[std::size_t(j) * ldb + l];
          sum = std::fma(av, bv, sum);
        }
      }
      float& c = C[std::size_t(j) * ldc + i];
      // With beta 0 the old C is not read, so NaNs or garbage in it do not survive.
      c = b == 0.f ? a * sum : a * sum + b * c;
    }
  }
  return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t sgemv(cublasHandle_t handle, cublasOperation_t trans, int m, int n,
                     const float* alpha, const float* A, int lda, const float* x, int incx,
                     const float* beta, float* y, int incy) {
  if (!valid(handle)) return CUBLAS_STATUS_NOT_INITIALIZED;
  if (!validOp(trans) || m < 0 || n < 0 || lda < std::max(1, m) || incx == 0 || incy == 0)
    return CUBLAS_STATUS_INVALID_VALUE;
  if (m == 0 || n == 0) return CUBLAS_STATUS_SUCCESS;
  if (!alpha || !beta) return CUBLAS_STATUS_INVALID_VALUE;
  const float a = *alpha, b = *beta;
  if (a == 0.f && b == 1.f) return CUBLAS_STATUS_SUCCESS;
  const bool t = trans != CUBLAS_OP_N;
  const int lenx = t ? m : n, leny = t ? n : m;
  for (int i = 0; i < leny; ++i) {
    float sum = 0.f;
    if (a != 0.f) {
      for (int l = 0; l < lenx; ++l) {
        const float av = t ? A[std::size_t(i) * lda + l] : A[std::size_t(l) * lda + i];
        sum = std::fma(av, x[vectorIndex(l, lenx, incx)], sum);
      }
    }
    float& yv = y[vectorIndex(i, leny, incy)];
    yv = b == 0.f ? a * sum : a * sum + b * yv;
  }
  return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t snrm2(cublasHandle_t handle, int n, const float* x, int incx, float* result) {
  if (!valid(handle)) return CUBLAS_STATUS_NOT_INITIALIZED;
  if (!result) return CUBLAS_STATUS_INVALID_VALUE;
  // Summed in double: no overflow or underflow for any float input, one rounding at the end.
  double sum = 0.0;
  if (n > 0 && incx > 0)
    for (int i = 0; i < n; ++i) {
      const double v = x[std::size_t(i) * incx];
      sum += v * v;
    }
  *result = float(std::sqrt(sum));
  return CUBLAS_STATUS_SUCCESS;
}

}  // namespace cublas_host
