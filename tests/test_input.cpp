// The numeric column reader and the point sets.
#include <gtest/gtest.h>

#include <vector>

#include "input/load_points.h"
#include "base/check.h"
#include "tests/harness.h"

using vantu::ColumnCounts;
using vantu::ColumnSlot;
using vantu::read_columns;
using vantu_test::RunDir;

namespace {

class ReadColumnsTest : public ::testing::Test {
 protected:
  ColumnCounts read(const std::string& text, ColumnSlot (&slots)[5]) {
    dir.write("t.dat", text);
    return read_columns(dir.file("t.dat"), slots);
  }
  RunDir dir;
  std::vector<double> A = std::vector<double>(8, -1.0), B = std::vector<double>(8, -1.0);
};

TEST_F(ReadColumnsTest, SlotsWithOneDestinationShareTheirCount) {
  ColumnSlot slots[5] = {{1, A.data(), 8}, {2, A.data(), 8}, {3, B.data(), 8}, {0, nullptr, 0}, {0, nullptr, 0}};
  ColumnCounts c = read("1 2 3\n", slots);
  EXPECT_EQ(c.stored[2], 1);
  EXPECT_EQ(c.stored[0], 2);
  EXPECT_EQ(A[0], 1.0);
  EXPECT_EQ(A[1], 2.0);
  EXPECT_EQ(B[0], 3.0);
}

TEST_F(ReadColumnsTest, ValuesGoInFileOrderNotSlotOrder) {
  ColumnSlot slots[5] = {{2, A.data(), 8}, {1, A.data(), 8}, {0, nullptr, 0}, {0, nullptr, 0}, {0, nullptr, 0}};
  read("1 2\n", slots);
  EXPECT_EQ(A[0], 1.0);
  EXPECT_EQ(A[1], 2.0);
}

TEST_F(ReadColumnsTest, OnlyTheFirstSlotNamingAColumnReceivesIt) {
  ColumnSlot slots[5] = {{1, A.data(), 8}, {1, B.data(), 8}, {0, nullptr, 0}, {0, nullptr, 0}, {0, nullptr, 0}};
  ColumnCounts c = read("4\n5\n", slots);
  EXPECT_EQ(c.stored[0], 2);
  EXPECT_EQ(c.stored[1], 0);
  EXPECT_EQ(B[0], -1.0);
}

TEST_F(ReadColumnsTest, LineStopsAtItsFirstNonNumericToken) {
  ColumnSlot slots[5] = {{1, A.data(), 8}, {3, B.data(), 8}, {0, nullptr, 0}, {0, nullptr, 0}, {0, nullptr, 0}};
  ColumnCounts c = read("5 x 7\n", slots);
  EXPECT_EQ(c.stored[0], 1);
  EXPECT_EQ(c.stored[1], 0);
  EXPECT_EQ(A[0], 5.0);
}

TEST_F(ReadColumnsTest, TokenWithNumericHeadCountsAsOneColumn) {
  ColumnSlot slots[5] = {{1, A.data(), 8}, {2, B.data(), 8}, {0, nullptr, 0}, {0, nullptr, 0}, {0, nullptr, 0}};
  read("12abc\t-3.5e1\r\n", slots);
  EXPECT_EQ(A[0], 12.0);
  EXPECT_EQ(B[0], -35.0);
}

TEST_F(ReadColumnsTest, SkipsCommentsBlankLinesAndReadsLastLineWithoutLineEnd) {
  ColumnSlot slots[5] = {{2, A.data(), 8}, {0, nullptr, 0}, {0, nullptr, 0}, {0, nullptr, 0}, {0, nullptr, 0}};
  ColumnCounts c = read("# x y\n\n   \n1 2\nword 9\n3 4", slots);
  EXPECT_EQ(c.stored[0], 2);
  EXPECT_EQ(A[0], 2.0);
  EXPECT_EQ(A[1], 4.0);
}

TEST_F(ReadColumnsTest, EmptyFileStoresNothing) {
  ColumnSlot slots[5] = {{1, A.data(), 8}, {2, A.data(), 8}, {3, B.data(), 8}, {0, nullptr, 0}, {0, nullptr, 0}};
  ColumnCounts c = read("", slots);
  EXPECT_EQ(c.stored[2], 0);
  EXPECT_FALSE(c.overflow);
}

TEST_F(ReadColumnsTest, LongLineIsReadWhole) {
  std::string line = "7";
  for (int k = 0; k < 600; ++k) line += " 1.25";
  line += " 42\n";  // column 602, far past 1023 bytes
  ColumnSlot slots[5] = {{1, A.data(), 8}, {602, B.data(), 8}, {0, nullptr, 0}, {0, nullptr, 0}, {0, nullptr, 0}};
  ColumnCounts c = read(line + "8\n", slots);
  EXPECT_EQ(c.stored[0], 2);
  EXPECT_EQ(c.stored[1], 1);
  EXPECT_EQ(B[0], 42.0);
  EXPECT_EQ(A[1], 8.0);
}

TEST_F(ReadColumnsTest, NeverStoresPastCapacity) {
  ColumnSlot slots[5] = {{1, A.data(), 3}, {0, nullptr, 0}, {0, nullptr, 0}, {0, nullptr, 0}, {0, nullptr, 0}};
  ColumnCounts c = read("1\n2\n3\n4\n5\n", slots);
  EXPECT_EQ(c.stored[0], 3);
  EXPECT_TRUE(c.overflow);
  EXPECT_EQ(A[3], -1.0);
}

TEST_F(ReadColumnsTest, UnopenableFileEndsTheRunWithItsName) {
  ColumnSlot slots[5] = {{1, A.data(), 8}, {0, nullptr, 0}, {0, nullptr, 0}, {0, nullptr, 0}, {0, nullptr, 0}};
  try {
    read_columns(dir.file("missing.dat"), slots);
    FAIL() << "no error";
  } catch (const vantu::RunEnd& e) {
    EXPECT_EQ(e.status, 1);
    EXPECT_EQ(e.message, "ERROR opening file: " + dir.file("missing.dat") + "\n");
  }
}

TEST_F(ReadColumnsTest, DirectoryEndsTheRunLikeAnUnopenableFile) {
  ColumnSlot slots[5] = {{1, A.data(), 8}, {0, nullptr, 0}, {0, nullptr, 0}, {0, nullptr, 0}, {0, nullptr, 0}};
  dir.write("sub/keep", "1\n");
  try {
    read_columns(dir.file("sub"), slots);
    FAIL() << "a directory read as a file";
  } catch (const vantu::RunEnd& e) {
    EXPECT_EQ(e.status, 1);
    EXPECT_EQ(e.message, "ERROR opening file: " + dir.file("sub") + "\n");
  }
}

// Point sets, through the program.
class PointFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { dir.write("softconfig.dat", vantu_test::Config{}.text()); }
  RunDir dir;
};

TEST_F(PointFilesTest, CountsLengthValuesAndSkipsComments) {
  dir.write("newbact/image026.dat", "# x y len ang id\n1 2 20 0 1\n\n3 4 20 0 2\n5 6 20 0 3\n");
  dir.write("newbact/image029.dat", "1 2 20 0 1\n3 4\n");  // the second line has no length
  vantu_test::Outcome o = dir.run();
  EXPECT_NE(o.out.find("  loaded 3 points from newbact/image026.dat.\n"
                       "  loaded 1 points from newbact/image029.dat.\n\n"),
            std::string::npos);
}

TEST_F(PointFilesTest, WithoutLengthColumnBothSetsAreEmpty) {
  vantu_test::Config c;
  c.Nlen = 0;
  dir.write("softconfig.dat", c.text());
  dir.write("newbact/image026.dat", "1 2 20 0 1\n");
  dir.write("newbact/image029.dat", "1 2 20 0 1\n");
  vantu_test::Outcome o = dir.run();
  EXPECT_NE(o.out.find("loaded 0 points from newbact/image026.dat.\n  loaded 0 points from"), std::string::npos);
  EXPECT_NE(o.out.find("ERROR: nothing to match (K=0, M=0)\n"), std::string::npos);
  EXPECT_EQ(o.status, 1);
}

TEST_F(PointFilesTest, MoreThanCapacityIsRefusedWithTheFileName) {
  std::string many;
  for (int k = 0; k < 1001; ++k) many += std::to_string(k) + " 1 20 0 " + std::to_string(k + 1) + "\n";
  dir.write("newbact/image026.dat", "1 2 20 0 1\n");
  dir.write("newbact/image029.dat", many);
  vantu_test::Outcome o = dir.run();
  EXPECT_NE(o.out.find("\n\n\nERROR too many points in file: newbact/image029.dat (at most 1000)\n"),
            std::string::npos);
  EXPECT_EQ(o.out.find("loaded"), std::string::npos);
  EXPECT_EQ(o.status, 1);
  EXPECT_FALSE(dir.exists("Match.dat"));
}

TEST_F(PointFilesTest, PointFileThatIsADirectoryIsNamedBeforeAnythingLoads) {
  dir.write("newbact/image026.dat", "1 2 20 0 1\n3 4 20 0 2\n");
  dir.write("newbact/image029.dat/keep", "1 2 20 0 1\n");
  vantu_test::Outcome o = dir.run();
  EXPECT_NE(o.out.find("\n\n\nERROR opening file: newbact/image029.dat\n"), std::string::npos);
  EXPECT_EQ(o.out.find("loaded"), std::string::npos);
  EXPECT_EQ(o.status, 1);
}

}  // namespace
