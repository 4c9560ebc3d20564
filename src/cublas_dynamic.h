// cuBLAS opened at run time. The program is not linked against cuBLAS: `cublas_dynamic` holds the
// library handle and the five routines the pose refinement calls. On the host back end (no GPU)
// the same five slots hold routines of our own with cuBLAS's semantics, so callers run anywhere.
#pragma once

#include <cublas_api.h>

#include <string>
#include <vector>

struct CublasDynamic {
  using CreateFn = cublasStatus_t (*)(cublasHandle_t* handle);
  using DestroyFn = cublasStatus_t (*)(cublasHandle_t handle);
  using SgemmFn = cublasStatus_t (*)(cublasHandle_t handle, cublasOperation_t transa,
                                     cublasOperation_t transb, int m, int n, int k,
                                     const float* alpha, const float* A, int lda, const float* B,
                                     int ldb, const float* beta, float* C, int ldc);
  using SgemvFn = cublasStatus_t (*)(cublasHandle_t handle, cublasOperation_t trans, int m, int n,
                                     const float* alpha, const float* A, int lda, const float* x,
                                     int incx, const float* beta, float* y, int incy);
  using Snrm2Fn = cublasStatus_t (*)(cublasHandle_t handle, int n, const float* x, int incx,
                                     float* result);

  void* handle;  // what dlopen returned; null until a load succeeds
  CreateFn create;
  DestroyFn destroy;
  SgemmFn sgemm;
  SgemvFn sgemv;
  Snrm2Fn snrm2;

  // CUDA back end: opens the first of library_names() that the dynamic loader can open and
  // looks up the five routines; throws std::runtime_error "Cannot open cublas lib" when none can
  // be opened, or the loader's own text when a routine is missing. Host back end: installs the
  // host routines.
  void load();

  // The CUDA back end's loading, from the first of `libraries` that opens.
  void loadLibrary(const std::vector<const char*>& libraries);
  void loadLibrary(const char* library) { loadLibrary(std::vector<const char*>{library}); }

  // The names load() tries, in order: the major version the program is built against (the
  // runtime package installs it), then the development package's link name, which may lead to
  // another major version.
  static std::vector<const char*> library_names();
};

// "CUBLAS_STATUS_..." for a status code, "unknown cuBLAS status N" for another value.
std::string cublas_status_name(cublasStatus_t status);

// The process's one record; zero (unloaded) until load() runs.
extern CublasDynamic cublas_dynamic;

// The host back end's routines: column-major operands, transposition codes N, T and C (the same
// as T for real matrices), scalars through host pointers, and the status codes cuBLAS returns.
namespace cublas_host {
cublasStatus_t create(cublasHandle_t* handle);
cublasStatus_t destroy(cublasHandle_t handle);
cublasStatus_t sgemm(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb,
                     int m, int n, int k, const float* alpha, const float* A, int lda,
                     const float* B, int ldb, const float* beta, float* C, int ldc);
cublasStatus_t sgemv(cublasHandle_t handle, cublasOperation_t trans, int m, int n,
                     const float* alpha, const float* A, int lda, const float* x, int incx,
                     const float* beta, float* y, int incy);
cublasStatus_t snrm2(cublasHandle_t handle, int n, const float* x, int incx, float* result);
}  // namespace cublas_host
