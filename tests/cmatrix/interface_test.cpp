// Image files to and from arrays: loadImage, yv::saveImage and saveImageToPNG.
#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "cmatrix/CTensor.h"
#include "png_writer.h"
#include "support/test_support.h"
#include "yv/cmatrixlib_interface.h"
#include "yv/tools/alloc.h"
#include "yv/tools/copy.h"

namespace {

using png_test::readBytes;
using png_test::writeRaw;

TEST(LoadImage, ColourFilesBecomeInterleavedBytes) {
  tessivar_test::TempDir dir;
  writeRaw(dir.file("rgb.png"), 2, 2, PNG_COLOR_TYPE_RGB, 8,
           {{10, 20, 30, 1, 2, 3}, {4, 5, 6, 250, 251, 252}});
  writeRaw(dir.file("rgba.png"), 1, 1, PNG_COLOR_TYPE_RGBA, 8, {{10, 20, 30, 7}});
  png_test::writeText(dir.file("c.ppm"), "P6\n2 1\n255\n\x0a\x14\x1e\x01\x02\x03");

  CMatrix<uchar4> a = loadImage(dir.file("rgb.png"));
  ASSERT_EQ(a.xSize, 2);
  ASSERT_EQ(a.ySize, 2);
  EXPECT_EQ(a.data[0].x, 10);
  EXPECT_EQ(a.data[0].y, 20);
  EXPECT_EQ(a.data[0].z, 30);
  EXPECT_EQ(a.data[0].w, 255);
  EXPECT_EQ(a.data[3].z, 252);
  EXPECT_EQ(a.data[3].w, 255);

  CMatrix<uchar4> b = loadImage(dir.file("rgba.png"));
  EXPECT_EQ(b.data[0].z, 30);
  EXPECT_EQ(b.data[0].w, 7);

  CMatrix<uchar4> c = loadImage(dir.file("c.ppm"));
  ASSERT_EQ(c.xSize, 2);
  EXPECT_EQ(c.data[0].y, 20);
  EXPECT_EQ(c.data[1].z, 3);
  EXPECT_EQ(c.data[1].w, 255);
}

TEST(LoadImage, GreyAndEmptyImagesAreRefused) {
  tessivar_test::TempDir dir;
  png_test::writeText(dir.file("g.pgm"), "P5\n3 2\n255\nabcdef");
  EXPECT_THROW_MESSAGE(loadImage(dir.file("g.pgm")),
                       "void yv::convert(yv::Array<uchar4, 2>&, const yv::Array<T, 3>&, bool, "
                       "unsigned char, cudaStream_t) [with T = float, cudaStream_t = "
                       "CUstream_st*]:   wrong 'in' array extents.\n 'in'  extents are (3, 2, 1)\n"
                       " expected extents.z == 3 or 4 \n");
  png_test::writeText(dir.file("e.ppm"), "P6\n0 2\n255\n");
  EXPECT_THROW_MESSAGE(loadImage(dir.file("e.ppm")), "yv::mallocHostArray: all extents must be >= 1");
  EXPECT_THROW_MESSAGE(loadImage(dir.file("x.jpg")), "Image file format not supported");
}

TEST(SaveImage, OnlyThreePlanesAreWritten) {
  tessivar_test::TempDir dir;
  yv::Array<unsigned char, 4> a4 = yv::mallocHostArray<unsigned char>(make_uint4(640, 480, 4, 1), yv::PACKED);
  const yv::Array<unsigned char, 3> a = yv::internal::decreaseArrayDimension<unsigned char, 4, 3>(a4);
  const std::string path = dir.file("x.ppm");
  const std::string msg = tessivar_test::thrownMessage([&] { yv::saveImage(a, path, false); });
  yv::releaseArray(a4);
  const std::string tail =
      ": saveImage() does not support writing color image from Array with dimensions (640x480x4)\n";
  ASSERT_GT(msg.size(), tail.size());
  EXPECT_EQ(msg.substr(msg.size() - tail.size()), tail);
  EXPECT_EQ(msg.substr(0, 1), "\n");
  EXPECT_NE(msg.find("cmatrixlib_interface.h:"), std::string::npos) << msg;
  EXPECT_FALSE(std::filesystem::exists(path));
}

// Writes the same planar bytes from host and device memory, negated; reads them back.
TEST(SaveImage, NegatesBytesFromHostAndDeviceArrays) {
  tessivar_test::TempDir dir;
  tessivar_test::AllocationGuard guard;
  const unsigned char values[4] = {0, 1, 128, 255};
  const unsigned char negated[4] = {0, 255, 128, 1};
  yv::Array<unsigned char, 4> h4 = yv::mallocHostArray<unsigned char>(make_uint4(4, 1, 3, 1), yv::PACKED);
  for (int k = 0; k < 3; ++k)
    for (int x = 0; x < 4; ++x) h4.ptr[k * 4 + x] = values[x];
  yv::Array<unsigned char, 4> d4 = yv::mallocDeviceArray<unsigned char>(make_uint4(4, 1, 3, 1), yv::PITCHED);
  yv::arrayCopy(d4, h4);
  const auto h = yv::internal::decreaseArrayDimension<unsigned char, 4, 3>(h4);
  const auto d = yv::internal::decreaseArrayDimension<unsigned char, 4, 3>(d4);
  yv::saveImage(h, dir.file("h.ppm"), true);
  yv::saveImage(d, dir.file("d.ppm"), true);
  yv::saveImage(d, dir.file("plain.png"), false);
  yv::releaseArray(h4);
  yv::releaseArray(d4);

  EXPECT_EQ(readBytes(dir.file("h.ppm")), readBytes(dir.file("d.ppm")));
  CTensor<float> t;
  t.readFromPPM(dir.file("h.ppm").c_str());
  ASSERT_EQ(t.zSize, 3);
  for (int k = 0; k < 3; ++k)
    for (int x = 0; x < 4; ++x) EXPECT_EQ(t.data[k * 4 + x], negated[x]);
  t.readFromPNG(dir.file("plain.png").c_str(), false);
  for (int x = 0; x < 4; ++x) EXPECT_EQ(t.data[8 + x], values[x]);
}

TEST(SaveImageToPNG, DeviceArraysWriteTheSameFileAsHostArrays) {
  tessivar_test::TempDir dir;
  tessivar_test::AllocationGuard guard;
  const unsigned w = 37, h = 5;
  yv::Array<uchar4, 4> h4 = yv::mallocHostArray<uchar4>(make_uint4(w, h, 1, 1), yv::PACKED);
  for (unsigned i = 0; i < w * h; ++i) h4.ptr[i] = make_uchar4(i & 0xff, (i * 5) & 0xff, 3, 9);
  yv::Array<uchar4, 4> d4 = yv::mallocDeviceArray<uchar4>(make_uint4(w, h, 1, 1), yv::PITCHED);
  yv::arrayCopy(d4, h4);
  saveImageToPNG(yv::internal::decreaseArrayDimension<uchar4, 4, 2>(h4), dir.file("h.png"));
  saveImageToPNG(yv::internal::decreaseArrayDimension<uchar4, 4, 2>(d4), dir.file("d.png"));
  yv::releaseArray(d4);

  EXPECT_EQ(readBytes(dir.file("h.png")), readBytes(dir.file("d.png")));
  CTensor<float> t;
  t.readFromPNG(dir.file("d.png").c_str(), false);
  ASSERT_EQ(t.zSize, 3) << "alpha never reaches the file";
  ASSERT_EQ(t.xSize, int(w));
  for (unsigned i = 0; i < w * h; ++i) {
    EXPECT_EQ(t.data[i], h4.ptr[i].x);
    EXPECT_EQ(t.data[w * h + i], h4.ptr[i].y);
    EXPECT_EQ(t.data[2 * w * h + i], 3);
  }
  yv::releaseArray(h4);
}

}  // namespace
