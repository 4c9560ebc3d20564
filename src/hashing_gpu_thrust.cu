// The device scan, sort and maximum of the GPU cell table and hash map. Kept apart from the
// kernels because Thrust dominates nvcc time; only the key and value types used are built.
// The CUDA back end runs Thrust's CUDA system on device memory, the host back end its OpenMP
// system on the host memory that stands for device memory there.
#include <thrust/extrema.h>
#include <thrust/scan.h>
#include <thrust/sort.h>
#include <thrust/system/cuda/execution_policy.h>
#include <thrust/system/omp/execution_policy.h>

#include <stdexcept>

#include "hashing_gpu.h"
#include "yv/runtime/runtime.h"
#include "yv/tools/cuda_check.h"

void device_exclusive_scan(yv::Array<int, 1> in, yv::Array<int, 1> out) {
  const unsigned n = in.size.x;
  if (n == 0) return;
  if (yv::rt::onGpu())
    thrust::exclusive_scan(thrust::cuda::par, in.ptr, in.ptr + n, out.ptr);
  else
    thrust::exclusive_scan(thrust::omp::par, in.ptr, in.ptr + n, out.ptr);
}

void device_stable_sort_by_key(yv::Array<unsigned long long, 1> keys,
                               yv::Array<unsigned int, 1> values) {
  const unsigned n = keys.size.x;
  if (n == 0) return;
  if (yv::rt::onGpu())
    thrust::stable_sort_by_key(thrust::cuda::par, keys.ptr, keys.ptr + n, values.ptr);
  else
    thrust::stable_sort_by_key(thrust::omp::par, keys.ptr, keys.ptr + n, values.ptr);
}

unsigned int device_max_element(yv::Array<unsigned int, 1> a) {
  const unsigned n = a.size.x;
  // An empty range has no element to read back.
  if (n == 0) throw std::runtime_error("device_max_element: the array is empty");
  const unsigned int* largest =
      yv::rt::onGpu() ? thrust::max_element(thrust::cuda::par, a.ptr, a.ptr + n)
                      : thrust::max_element(thrust::omp::par, a.ptr, a.ptr + n);
  unsigned int value = 0;
  yv::rt::memcpy(&value, largest, sizeof(value), cudaMemcpyDeviceToHost);
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
  return value;
}
