// Qualifier for code that runs both as CUDA device code and as host code (host back end).
#pragma once

#if defined(__CUDACC__)
#define YV_HD __host__ __device__
#define YV_HD_INLINE __host__ __device__ __forceinline__
#else
#define YV_HD
#define YV_HD_INLINE inline
#endif
