// Ranges, blocks, sub-volumes and the same-device check.
#include <gtest/gtest.h>

#include "support/test_support.h"
#include "yv/tools/range.h"
#include "yv/tools/same_device.h"

namespace {

using tessivar_test::thrownMessage;

yv::Array<float, 4> parent(float* p) {
  return yv::internal::packedHostArray4(p, 640, 480, 3);  // w extent 1
}

yv::Range whole() {
  yv::Range r;
  r.first = 0;
  r.last = -1;
  return r;
}

TEST(Range, ConstructorRefusesFirstAfterLast) {
  EXPECT_NO_THROW(yv::Range(3, 3));
  EXPECT_THROW_MESSAGE(yv::Range(4, 3),
                       "Range(): the first element must be <= than the last element. first = 4,  last = 3\n");
  EXPECT_THROW(yv::Range(0, -1), std::runtime_error);
}

TEST(Block, ViewSharesMemoryAndPitches) {
  float dummy;
  auto a = parent(&dummy);
  auto same = yv::block(a, whole(), whole(), whole(), whole());
  EXPECT_EQ(same.ptr, a.ptr);
  EXPECT_EQ(yv::internal::str_extents(same.size), yv::internal::str_extents(a.size));
  auto b = yv::block(a, yv::Range(10, 19), yv::Range(1, 479), yv::Range(2, 2), yv::Range(0, 0));
  EXPECT_EQ(reinterpret_cast<char*>(b.ptr) - reinterpret_cast<char*>(a.ptr),
            10 * 4 + 1 * 2560 + 2 * 2560 * 480);
  EXPECT_EQ(yv::internal::str_extents(b.size), "(10, 479, 1, 1)");
  EXPECT_EQ(yv::internal::str_extents(b.pitch), yv::internal::str_extents(a.pitch));
}

TEST(Block, OutOfBoundsMessagesPrintResolvedRanges) {
  float dummy;
  auto a = parent(&dummy);
  EXPECT_THROW_MESSAGE(yv::block(a, whole(), yv::Range(0, 480), whole(), whole()),
                       "block: block range is out of bounds.\n array extents are (640, 480, 3, 1), "
                       "ranges are [0-639, 0-480, 0-2, 0-0]");
  yv::Range neg;
  neg.first = -1;
  neg.last = 5;
  EXPECT_NE(thrownMessage([&] { yv::block(a, neg, whole(), whole(), whole()); }).find("[-1-5, 0-479"),
            std::string::npos);
  // first past the resolved last is refused as well (no meaningless extents)
  yv::Range past;
  past.first = 5;
  past.last = -1;
  EXPECT_THROW_MESSAGE(yv::block(a, whole(), whole(), past, whole()),
                       "block: block range is out of bounds.\n array extents are (640, 480, 3, 1), "
                       "ranges are [0-639, 0-479, 5-2, 0-0]");
}

TEST(Subvolume, PicksOneVolumeOrThrowsBlocksMessage) {
  float dummy;
  auto a = yv::internal::packedHostArray4(&dummy, 4, 3, 2);
  a.size.w = 3;
  a.pitch.w = a.pitch.z * 2;
  auto v = yv::subvolume(a, 2);
  EXPECT_EQ(reinterpret_cast<char*>(v.ptr) - reinterpret_cast<char*>(a.ptr), 2 * 4 * 3 * 2 * 4);
  EXPECT_EQ(yv::internal::str_extents(v.size), "(4, 3, 2)");
  EXPECT_NE(thrownMessage([&] { yv::subvolume(a, 3); }).find("0-1, 3-3]"), std::string::npos);
  EXPECT_NE(thrownMessage([&] { yv::subvolume(a, -1); }).find("0-1, -1-2]"), std::string::npos);
}

TEST(SameDevice, MessageNamesBothPlaces) {
  float dummy;
  yv::Array<float, 2> host{&dummy, make_uint2(4, 4), make_uint2(1, 1), -1};
  yv::Array<uchar4, 3> dev0{nullptr, make_uint3(4, 4, 4), make_uint3(1, 1, 1), 0};
  auto dev1 = dev0;
  dev1.device = 1;
  EXPECT_NO_THROW(yv::internal::check_arguments_same_device("f", 1, "sig", host, "out", host, "in"));
  EXPECT_NO_THROW(yv::internal::check_arguments_same_device("f", 1, "sig", dev1, "out", dev1, "in"));
  EXPECT_THROW_MESSAGE(
      yv::internal::check_arguments_same_device("f", 1, "void f()", dev0, "out", host, "in"),
      "void f():  arrays 'out' and 'in' must be on the same device. 'out' is on device 0\n"
      " 'in' is on device HOST\n");
  EXPECT_THROW_MESSAGE(
      yv::internal::check_arguments_same_device("f", 1, nullptr, dev0, "out", dev1, "in"),
      "arrays 'out' and 'in' must be on the same device. 'out' is on device 0\n 'in' is on device 1\n");
}

}  // namespace
