#include "engine/naming/safe_name.h"

#include <gtest/gtest.h>

namespace korvid {
namespace {

TEST(SafeName, ReplacesWhatFileSystemsRefuse) {
  EXPECT_EQ(SafeFileName("CH01_20261208_150000.AVI"), "CH01_20261208_150000.AVI");
  EXPECT_EQ(SafeFileName("a/b\\c:d*e?f\"g<h>i|j"), "a_b_c_d_e_f_g_h_i_j");
  EXPECT_EQ(SafeFileName(std::string("x\x01y\x1f\x7fz\tq\n", 9)), "x_y__z_q_");
  EXPECT_EQ(SafeFileName("ends. "), "ends__");
  EXPECT_EQ(SafeFileName("..."), "___");
  // UTF-8 letters are kept whole.
  EXPECT_EQ(SafeFileName("通道1.AVI"), "通道1.AVI");
}

TEST(SafeName, TheNumberASpaceAndTheNameWithTheFilesOwnExtension) {
  EXPECT_EQ(SourceNamedFile(1, "CH01_20261208_150000.AVI", "AVI"), "1 CH01_20261208_150000.AVI");
  EXPECT_EQ(SourceNamedFile(12, "_H02_20261208.avi", "AVI"), "12 _H02_20261208.AVI");
  EXPECT_EQ(SourceNamedFile(3, "CLIP.MOV", "MP4"), "3 CLIP.MP4");
  EXPECT_EQ(SourceNamedFile(4, "NOEXT", "AVI"), "4 NOEXT.AVI");
  EXPECT_EQ(SourceNamedFile(5, "a.b.c", "AVI"), "5 a.b.AVI");
  EXPECT_EQ(SourceNamedFile(6, ".hidden", "AVI"), "6 .hidden.AVI");
  EXPECT_EQ(SourceNamedFile(7, "CH:1/x?.AVI", "AVI"), "7 CH_1_x_.AVI");
}

}  // namespace
}  // namespace korvid
