# Fails when the probe's PTX shows device code rounding otherwise than host code: a fused
# multiply-add (contraction), a product or sum without a rounding mode (ptxas may still fuse it),
# an approximate division or square root, or denormals flushed to zero.
# Run as: cmake -DPTX=<file>[;<file>...] -P check_contraction.cmake
if(NOT PTX)
  message(FATAL_ERROR "no PTX of the contraction probe given")
endif()
foreach(file ${PTX})
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "${file} is missing; build the project first")
  endif()
  file(STRINGS "${file}" wrong REGEX
    "^[ \t]*(fma\\.|(mul|add|sub)\\.f(32|64)[ \t]|[a-z]+\\.[a-z.0-9]*(ftz|approx|full))")
  if(wrong)
    string(REPLACE ";" "\n" wrong "${wrong}")
    message(FATAL_ERROR "device code does not round as host code does (${file}):\n${wrong}")
  endif()
  file(STRINGS "${file}" products REGEX "^[ \t]*mul\\.rn\\.f(32|64)")
  file(STRINGS "${file}" exact REGEX "^[ \t]*(div|sqrt)\\.rn\\.f32")
  list(LENGTH products n)
  list(LENGTH exact m)
  if(n LESS 6 OR m LESS 2)
    message(FATAL_ERROR "${file}: expected the probe's 6 products, division and square root "
                        "rounded on their own, found ${n} products and ${m} of the others")
  endif()
endforeach()
message(STATUS "no contraction in ${PTX}")
