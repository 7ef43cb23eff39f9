#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "lumora/core/format.h"
#include "lumora/core/paths.h"

namespace lumora {

TEST(PyFloat, MatchesPythonRepr) {
  EXPECT_EQ(py_float(2.0), "2.0");
  EXPECT_EQ(py_float(3.0), "3.0");
  EXPECT_EQ(py_float(0.0), "0.0");
  EXPECT_EQ(py_float(-0.0), "-0.0");
  EXPECT_EQ(py_float(0.0001), "0.0001");
  EXPECT_EQ(py_float(1e-05), "1e-05");
  EXPECT_EQ(py_float(0.001), "0.001");
  EXPECT_EQ(py_float(0.1), "0.1");
  EXPECT_EQ(py_float(0.2), "0.2");
  EXPECT_EQ(py_float(1.5e-07), "1.5e-07");
  EXPECT_EQ(py_float(123.456), "123.456");
  EXPECT_EQ(py_float(1e16), "1e+16");
  EXPECT_EQ(py_float(1234567890123456.0), "1234567890123456.0");
  EXPECT_EQ(py_float(-2.5), "-2.5");
  EXPECT_EQ(py_float(1.0 / 3.0), "0.3333333333333333");
  EXPECT_EQ(py_float(400.5), "400.5");
  EXPECT_EQ(py_float(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(py_float(std::nan("")), "nan");
}

TEST(Thousands, GroupsDigits) {
  EXPECT_EQ(thousands(0), "0");
  EXPECT_EQ(thousands(999), "999");
  EXPECT_EQ(thousands(1000), "1,000");
  EXPECT_EQ(thousands(1234567), "1,234,567");
  EXPECT_EQ(thousands(-1234567), "-1,234,567");
}

TEST(PyList, QuotesLikePython) {
  EXPECT_EQ(py_list({"cube", "gt"}), "['cube', 'gt']");
  EXPECT_EQ(py_list({}), "[]");
  EXPECT_EQ(py_list({"it's"}), "[\"it's\"]");
}

TEST(General, PercentG) {
  EXPECT_EQ(general(0.123456, 4), "0.1235");
  EXPECT_EQ(general(12345.0, 4), "1.234e+04");
  EXPECT_EQ(general(-3.0, 4), "-3");
}

TEST(PathJoin, AbsoluteSecondReplaces) {
  EXPECT_EQ(path_join("out", "model.pth"), "out/model.pth");
  EXPECT_EQ(path_join("out/", "model.pth"), "out/model.pth");
  EXPECT_EQ(path_join("out", "/abs/model.pth"), "/abs/model.pth");
  EXPECT_EQ(path_join("", "model.pth"), "model.pth");
}

TEST(ShapeText, EachStyleAsItsMessagesQuoteIt) {
  EXPECT_EQ(shape_text({145, 145, 200}), "(145, 145, 200)");
  EXPECT_EQ(shape_text({95}), "(95,)");
  EXPECT_EQ(shape_text({}), "()");
  const std::vector<int64_t> shape = {4, 5, 6};
  EXPECT_EQ(shape_text(shape, ShapeStyle::TorchSize), "torch.Size([4, 5, 6])");
  EXPECT_EQ(shape_text({}, ShapeStyle::TorchSize), "torch.Size([])");
  EXPECT_EQ(shape_text({7}, ShapeStyle::TorchSize), "torch.Size([7])");
  EXPECT_EQ(shape_text(shape, ShapeStyle::Cross), "4x5x6");
  EXPECT_EQ(shape_text({7}, ShapeStyle::Cross), "7");
}

}  // namespace lumora
