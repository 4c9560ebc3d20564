// The CUDA error check shared by the whole program: a pending runtime error becomes an exception
// naming the file and line of the check.
#pragma once

#include "yv/runtime/runtime.h"

// Reads (and clears) the calling thread's last error; throws std::runtime_error with
// "<file>:<line>: cuda error: <text>\n" when there was one.
void _CHECK_CUDA_ERROR(char const* file, int line);

// Call-site form: the check names the line it stands on.
#define YV_CHECK_CUDA_ERROR() _CHECK_CUDA_ERROR(__FILE__, __LINE__)
