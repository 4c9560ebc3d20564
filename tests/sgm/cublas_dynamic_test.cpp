// The cuBLAS loader's failures and reloads, and the host routines against plain loops.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "cublas_dynamic.h"
#include "support/test_support.h"

namespace {

std::vector<float> randomVector(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-2.f, 2.f);
  std::vector<float> v(n);
  for (float& f : v) f = dist(rng);
  return v;
}

// op(M)(i, j) of a column-major matrix with leading dimension ld.
float opAt(const std::vector<float>& M, int ld, bool trans, int i, int j) {
  return trans ? M[std::size_t(i) * ld + j] : M[std::size_t(j) * ld + i];
}

class HostBlas : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(cublas_host::create(&handle), CUBLAS_STATUS_SUCCESS); }
  void TearDown() override { EXPECT_EQ(cublas_host::destroy(handle), CUBLAS_STATUS_SUCCESS); }
  cublasHandle_t handle = nullptr;
};

TEST_F(HostBlas, SgemmMatchesLoopsForEveryTranspositionAndPadding) {
  const int m = 5, n = 4, k = 3;
  const cublasOperation_t ops[3] = {CUBLAS_OP_N, CUBLAS_OP_T, CUBLAS_OP_C};
  for (cublasOperation_t ta : ops)
    for (cublasOperation_t tb : ops) {
      const bool tA = ta != CUBLAS_OP_N, tB = tb != CUBLAS_OP_N;
      // Leading dimensions larger than needed: the padding must be skipped.
      const int lda = (tA ? k : m) + 2, ldb = (tB ? n : k) + 1, ldc = m + 3;
      const std::vector<float> A = randomVector(std::size_t(lda) * (tA ? m : k), 1);
      const std::vector<float> B = randomVector(std::size_t(ldb) * (tB ? k : n), 2);
      std::vector<float> C = randomVector(std::size_t(ldc) * n, 3);
      const std::vector<float> C0 = C;
      const float alpha = 0.75f, beta = -1.5f;
      ASSERT_EQ(cublas_host::sgemm(handle, ta, tb, m, n, k, &alpha, A.data(), lda, B.data(), ldb,
                                   &beta, C.data(), ldc),
                CUBLAS_STATUS_SUCCESS);
      for (int j = 0; j < n; ++j)
        for (int i = 0; i < ldc; ++i) {
          const std::size_t at = std::size_t(j) * ldc + i;
          if (i >= m) {
            EXPECT_EQ(C[at], C0[at]) << "padding row " << i << " written";
            continue;
          }
          double sum = 0;
          for (int l = 0; l < k; ++l) sum += double(opAt(A, lda, tA, i, l)) * opAt(B, ldb, tB, l, j);
          EXPECT_NEAR(C[at], alpha * sum + beta * C0[at], 1e-5) << "op " << ta << "," << tb;
        }
    }
}

TEST_F(HostBlas, SgemmWithBetaZeroIgnoresOldContentAndAlphaZeroOnlyScales) {
  const int m = 2, n = 2, k = 2;
  const std::vector<float> A = {1, 2, 3, 4}, B = {5, 6, 7, 8};  // column-major
  std::vector<float> C(4, NAN);
  const float one = 1.f, zero = 0.f, two = 2.f;
  ASSERT_EQ(cublas_host::sgemm(handle, CUBLAS_OP_N, CUBLAS_OP_N, m, n, k, &one, A.data(), 2,
                               B.data(), 2, &zero, C.data(), 2),
            CUBLAS_STATUS_SUCCESS);
  // [1 3; 2 4] * [5 7; 6 8] = [23 31; 34 46]
  EXPECT_EQ(C, (std::vector<float>{23, 34, 31, 46}));
  ASSERT_EQ(cublas_host::sgemm(handle, CUBLAS_OP_N, CUBLAS_OP_N, m, n, k, &zero, A.data(), 2,
                               B.data(), 2, &two, C.data(), 2),
            CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(C, (std::vector<float>{46, 68, 62, 92}));
}

TEST_F(HostBlas, SgemvMatchesLoopsWithStridesOfEitherSign) {
  const int m = 4, n = 3, lda = 6;
  const std::vector<float> A = randomVector(std::size_t(lda) * n, 4);
  for (cublasOperation_t op : {CUBLAS_OP_N, CUBLAS_OP_T}) {
    const bool t = op == CUBLAS_OP_T;
    const int lenx = t ? m : n, leny = t ? n : m;
    for (int incx : {1, 2, -3})
      for (int incy : {1, -2}) {
        const std::vector<float> x = randomVector(std::size_t(lenx) * std::abs(incx), 5);
        std::vector<float> y = randomVector(std::size_t(leny) * std::abs(incy), 6);
        const std::vector<float> y0 = y;
        const float alpha = -0.5f, beta = 2.f;
        ASSERT_EQ(cublas_host::sgemv(handle, op, m, n, &alpha, A.data(), lda, x.data(), incx,
                                     &beta, y.data(), incy),
                  CUBLAS_STATUS_SUCCESS);
        // BLAS strides: a negative stride starts at the far end of the vector.
        auto xi = [&](int i) { return incx > 0 ? x[i * incx] : x[(lenx - 1 - i) * -incx]; };
        auto yi = [&](int i) { return incy > 0 ? i * incy : (leny - 1 - i) * -incy; };
        for (int i = 0; i < leny; ++i) {
          double sum = 0;
          for (int l = 0; l < lenx; ++l) sum += double(opAt(A, lda, t, i, l)) * xi(l);
          EXPECT_NEAR(y[yi(i)], alpha * sum + beta * y0[yi(i)], 1e-5)
              << "trans " << t << " incx " << incx << " incy " << incy;
        }
      }
  }
}

TEST_F(HostBlas, Snrm2KnownValuesStridesAndExtremes) {
  float r = -1.f;
  const std::vector<float> v = {3, 99, 4, 99};
  ASSERT_EQ(cublas_host::snrm2(handle, 2, v.data(), 2, &r), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(r, 5.f);
  // Squares that overflow or underflow a float still give the norm.
  const std::vector<float> big = {3e30f, 4e30f}, tiny = {3e-30f, 4e-30f};
  cublas_host::snrm2(handle, 2, big.data(), 1, &r);
  EXPECT_FLOAT_EQ(r, 5e30f);
  cublas_host::snrm2(handle, 2, tiny.data(), 1, &r);
  EXPECT_FLOAT_EQ(r, 5e-30f);
  // No elements, or a stride <= 0: the norm is 0.
  cublas_host::snrm2(handle, 0, v.data(), 1, &r);
  EXPECT_EQ(r, 0.f);
  r = -1.f;
  cublas_host::snrm2(handle, 2, v.data(), 0, &r);
  EXPECT_EQ(r, 0.f);
}

TEST(CublasLoader, MissingLibraryThrowsAndLeavesTheHandleNull) {
  CublasDynamic record{};
  // A stale handle from before must not survive a failed open: the result is stored at once.
  int dummy = 0;
  record.handle = &dummy;
  EXPECT_THROW_MESSAGE(record.loadLibrary("libtessivar-no-such-library.so"),
                       "Cannot open cublas lib");
  EXPECT_EQ(record.handle, nullptr);
  EXPECT_EQ(record.create, nullptr);
}

TEST(CublasLoader, MissingRoutineThrowsTheLoadersTextAndKeepsLaterFields) {
  CublasDynamic record{};
  record.destroy = reinterpret_cast<CublasDynamic::DestroyFn>(&cublas_host::destroy);
  // The C library opens but has none of the routines: the first look-up fails.
  const std::string message = tessivar_test::thrownMessage([&] { record.loadLibrary("libc.so.6"); });
  EXPECT_NE(message.find("cublasCreate_v2"), std::string::npos) << message;
  EXPECT_NE(record.handle, nullptr);
  EXPECT_EQ(record.create, nullptr);
  EXPECT_EQ(record.destroy, reinterpret_cast<CublasDynamic::DestroyFn>(&cublas_host::destroy));
}

// A stand-in library with four of the five routines, built with the system's C compiler.
TEST(CublasLoader, EveryRoutineIsRequiredEvenTheNormThatNobodyCalls) {
  tessivar_test::TempDir dir;
  const std::string source = dir.file("fake.c"), library = dir.file("libfakecublas.so");
  {
    std::ofstream c(source);
    c << "int cublasCreate_v2(void) { return 0; }\n"
         "int cublasDestroy_v2(void) { return 0; }\n"
         "int cublasSgemm_v2(void) { return 0; }\n"
         "int cublasSgemv_v2(void) { return 0; }\n";
  }
  const std::string build = "cc -shared -fPIC -o '" + library + "' '" + source + "' 2>/dev/null";
  if (std::system(build.c_str()) != 0) GTEST_SKIP() << "no C compiler to build the stand-in";
  CublasDynamic record{};
  const std::string message =
      tessivar_test::thrownMessage([&] { record.loadLibrary(library.c_str()); });
  EXPECT_NE(message.find("cublasSnrm2_v2"), std::string::npos) << message;
  EXPECT_NE(record.create, nullptr);
  EXPECT_NE(record.sgemv, nullptr);
  EXPECT_EQ(record.snrm2, nullptr);
}

// The major version built against first, then the unversioned name (which may lead to another
// major version); the first that opens wins.
TEST(CublasLoader, LibraryNamesAreTriedInOrder) {
  ASSERT_EQ(CublasDynamic::library_names().size(), 2u);
  EXPECT_STREQ(CublasDynamic::library_names()[0], "libcublas.so.13");
  EXPECT_STREQ(CublasDynamic::library_names()[1], "libcublas.so");

  tessivar_test::TempDir dir;
  const std::string source = dir.file("fake.c");
  {
    std::ofstream c(source);
    c << "int cublasCreate_v2(void) { return 0; }\n"
         "int cublasDestroy_v2(void) { return 0; }\n"
         "int cublasSgemm_v2(void) { return 0; }\n"
         "int cublasSgemv_v2(void) { return 0; }\n"
         "int cublasSnrm2_v2(void) { return 0; }\n";
  }
  const std::string first = dir.file("libfirst.so"), second = dir.file("libsecond.so");
  for (const std::string& library : {first, second}) {
    const std::string build = "cc -shared -fPIC -o '" + library + "' '" + source + "' 2>/dev/null";
    if (std::system(build.c_str()) != 0) GTEST_SKIP() << "no C compiler to build the stand-in";
  }
  const std::string missing = dir.file("libmissing.so");
  CublasDynamic record{};
  record.loadLibrary({missing.c_str(), second.c_str(), first.c_str()});
  void* opened = dlopen(second.c_str(), RTLD_NOW | RTLD_NOLOAD);
  EXPECT_EQ(record.handle, opened);
  EXPECT_EQ(reinterpret_cast<void*>(record.create), dlsym(opened, "cublasCreate_v2"));
  dlclose(opened);
  EXPECT_THROW_MESSAGE(record.loadLibrary({missing.c_str(), missing.c_str()}),
                       "Cannot open cublas lib");
  EXPECT_EQ(record.handle, nullptr);
}

TEST(CublasLoader, LoadTwiceKeepsTheSameRoutinesAndTheyWork) {
  const bool gpu = tessivar_test::onGpu();
  if (gpu) {
    void* probe = nullptr;
    for (const char* name : CublasDynamic::library_names())
      if (!probe) probe = dlopen(name, RTLD_NOW);
    if (!probe) GTEST_SKIP() << "no cuBLAS library on the library path";
    dlclose(probe);
  }
  cublas_dynamic.load();
  const CublasDynamic first = cublas_dynamic;
  cublas_dynamic.load();
  EXPECT_NE(cublas_dynamic.handle, nullptr);
  EXPECT_EQ(cublas_dynamic.create, first.create);
  EXPECT_EQ(cublas_dynamic.destroy, first.destroy);
  EXPECT_EQ(cublas_dynamic.sgemm, first.sgemm);
  EXPECT_EQ(cublas_dynamic.sgemv, first.sgemv);
  EXPECT_EQ(cublas_dynamic.snrm2, first.snrm2);
  if (!gpu) {
    // Through the record, as the pose refinement calls it.
    cublasHandle_t h = nullptr;
    ASSERT_EQ(cublas_dynamic.create(&h), CUBLAS_STATUS_SUCCESS);
    const std::vector<float> A = {2, 0, 0, 3}, x = {1, 1};
    std::vector<float> y(2, 0.f);
    const float one = 1.f, zero = 0.f;
    cublas_dynamic.sgemv(h, CUBLAS_OP_N, 2, 2, &one, A.data(), 2, x.data(), 1, &zero, y.data(), 1);
    EXPECT_EQ(y, (std::vector<float>{2, 3}));
    EXPECT_EQ(cublas_dynamic.destroy(h), CUBLAS_STATUS_SUCCESS);
  }
}

}  // namespace
