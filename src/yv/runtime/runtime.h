// The GPU runtime layer: one interface over two back ends. The CUDA back end drives a real GPU;
// the host back end emulates "device" memory, kernels, streams, events and textures on the CPU so
// that the whole program and its tests run on machines without a GPU. The back end is chosen once
// per process. Functions mirror the CUDA runtime calls they replace and report failures the same
// way: a cudaError_t result, also kept as the calling thread's pending last error.
#pragma once

#include <cuda_runtime.h>

#include <cstddef>
#include <string>

namespace yv {
namespace rt {

enum class Backend { Cuda, Host };

// The back end of this process: CUDA when the runtime reports at least one device, host otherwise
// (so CUDA_VISIBLE_DEVICES="" selects the host back end). The probe leaves no pending error.
// With TESSIVAR_REQUIRE_CUDA set (to anything but "" or "0") a process that would fall back to
// the host back end prints why on standard error and exits with status 3 instead.
Backend backend();
inline bool onGpu() { return backend() == Backend::Cuda; }
const char* backendName();
// One line that says where this process runs: "back end: CUDA, device 0: NAME (compute
// capability 9.0)", or "back end: host (WHY)" with what the probe found instead of a device
// (none, or the CUDA error and its text, for example a driver older than the runtime).
std::string backendDescription();

// Current device ordinal (0 on the host back end).
int currentDevice();

// ---- errors ------------------------------------------------------------------------------------
// Returns the calling thread's pending error and resets it. The layer and the CUDA runtime each
// keep one; when both are pending the layer's is returned and CUDA's stays pending for the next
// call, so no error is lost.
cudaError_t getLastError();
// Returns the pending error without resetting it.
cudaError_t peekAtLastError();
// Records an error as pending for the calling thread (as a failed runtime call would).
void setLastError(cudaError_t e);
const char* errorString(cudaError_t e);

// ---- memory ------------------------------------------------------------------------------------
// What the host back end promises, as current GPUs do: pitched allocations start on the texture
// alignment with rows padded to a multiple of it; linear allocations only get CUDA's documented
// 256-byte alignment (and on the host back end never more, so that code relying on luck with
// cudaMalloc fails here too). Textures over pitched memory need a base on kTextureAlignment and
// a row pitch that is a multiple of kTexturePitchAlignment.
constexpr std::size_t kPitchAlignment = 512;
constexpr std::size_t kTextureAlignment = 512;
constexpr std::size_t kTexturePitchAlignment = 32;
constexpr std::size_t kLinearAlignment = 256;

cudaError_t malloc3D(cudaPitchedPtr* p, cudaExtent extent);
cudaError_t malloc(void** p, std::size_t bytes);
cudaError_t free(void* p);
cudaError_t memcpy(void* dst, const void* src, std::size_t bytes, cudaMemcpyKind kind);
cudaError_t memcpy3D(const cudaMemcpy3DParms* p);
cudaError_t memset(void* p, int value, std::size_t bytes);
cudaError_t memset2D(void* p, std::size_t pitch, int value, std::size_t width, std::size_t height);
cudaError_t memset3D(cudaPitchedPtr p, int value, cudaExtent extent);

// CUDA arrays (the memory behind textures). On the host back end a packed buffer with the same
// channel description and extent.
cudaError_t malloc3DArray(cudaArray_t* a, const cudaChannelFormatDesc* desc, cudaExtent extent,
                          unsigned int flags = 0);
cudaError_t freeArray(cudaArray_t a);
cudaError_t arrayGetInfo(cudaChannelFormatDesc* desc, cudaExtent* extent, unsigned int* flags,
                         cudaArray_t a);

// Host back end: start of the element data of a CUDA array, its row pitch and slice pitch in
// bytes; used by the software texture sampler. Null on the CUDA back end.
const void* hostArrayData(cudaArray_t a, std::size_t* rowPitch, std::size_t* slicePitch);

// Whether p points into a live device allocation. On the host back end the registry answers; on
// the CUDA back end the driver's pointer attributes do.
bool isDevicePointer(const void* p);

// Bookkeeping of both back ends, for tests that check that operations release what they
// allocate: number of live allocations made through this layer (linear, pitched and CUDA
// arrays) and their total bytes. Memory that libraries take on their own is not counted.
std::size_t liveAllocationCount();
std::size_t liveAllocationBytes();

// ---- launches ----------------------------------------------------------------------------------
// Launch limits of current GPUs.
constexpr unsigned kMaxThreadsPerBlock = 1024u;
constexpr unsigned kMaxBlockXY = 1024u;
constexpr unsigned kMaxBlockZ = 64u;
constexpr unsigned kMaxGridX = 2147483647u;
constexpr unsigned kMaxGridYZ = 65535u;
// Dynamic shared memory a kernel may ask for per block unless it opted in to more.
constexpr std::size_t kDefaultMaxDynamicShared = 48u * 1024u;

// The error a CUDA launch of `grid` blocks of `block` threads with `dynamicShared` bytes of
// dynamic shared memory reports, for a kernel allowed `maxDynamicShared` bytes
// (cudaFuncAttributeMaxDynamicSharedMemorySize; kDefaultMaxDynamicShared unless raised), or
// cudaSuccess. An empty or oversized grid or block is cudaErrorInvalidConfiguration; too much
// shared memory is cudaErrorInvalidValue. The host back end refuses launches by this rule.
cudaError_t launchConfigError(dim3 grid, dim3 block, std::size_t dynamicShared = 0,
                              std::size_t maxDynamicShared = kDefaultMaxDynamicShared);

// ---- streams, events, device -------------------------------------------------------------------
cudaError_t streamCreate(cudaStream_t* s);
cudaError_t streamDestroy(cudaStream_t s);
cudaError_t streamSynchronize(cudaStream_t s);
cudaError_t deviceSynchronize();

cudaError_t eventCreate(cudaEvent_t* e, unsigned int flags = 0);
cudaError_t eventRecord(cudaEvent_t e, cudaStream_t s = 0);
cudaError_t eventSynchronize(cudaEvent_t e);
cudaError_t eventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end);
cudaError_t eventDestroy(cudaEvent_t e);

// Releases every allocation of the current device and clears its error state.
cudaError_t deviceReset();
cudaError_t memGetInfo(std::size_t* freeBytes, std::size_t* totalBytes);

}  // namespace rt
}  // namespace yv
