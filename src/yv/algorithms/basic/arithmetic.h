// Element-wise arithmetic on 4-D device arrays, in place: a = a (op) scalar or a = a (op) b.
// Each call checks its arguments, queues one kernel on the stream and returns without waiting.
#pragma once

#include "yv/tools/array.h"

namespace yv {

template <class T> void add(Array<T, 4>& a, T s, cudaStream_t stream);
template <class T> void sub(Array<T, 4>& a, T s, cudaStream_t stream);
template <class T> void mul(Array<T, 4>& a, T s, cudaStream_t stream);
template <class T> void div(Array<T, 4>& a, T s, cudaStream_t stream);
template <class T> void set(Array<T, 4>& a, T s, cudaStream_t stream);

template <class T> void add(Array<T, 4>& a, const Array<T, 4>& b, cudaStream_t stream);
template <class T> void sub(Array<T, 4>& a, const Array<T, 4>& b, cudaStream_t stream);
template <class T> void mul(Array<T, 4>& a, const Array<T, 4>& b, cudaStream_t stream);
template <class T> void div(Array<T, 4>& a, const Array<T, 4>& b, cudaStream_t stream);
template <class T> void set(Array<T, 4>& a, const Array<T, 4>& b, cudaStream_t stream);

namespace algorithms_basic_namespace {
// The argument test of the array forms.
template <class T> void sanity_check_arguments(const Array<T, 4>& a, const Array<T, 4>& b);
}  // namespace algorithms_basic_namespace

}  // namespace yv
