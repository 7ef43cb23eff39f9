#include <gtest/gtest.h>
#include <matio.h>

#include <filesystem>
#include <fstream>

#include "lumora/core/errors.h"
#include "lumora/io/mat5_fast.h"
#include "lumora/io/matfile.h"
#include "support/mat5_bytes.h"
#include "support/testing.h"

namespace lumora {
namespace {

// A 2 x 3 x 2 array with values 0..11 in row-major order, of any element type.
NdArray counting_array(DType dtype) {
  NdArray a = NdArray::zeros(dtype, {2, 3, 2});
  a.raw().copy_(torch::arange(12).reshape({2, 3, 2}).to(a.raw().scalar_type()));
  if (dtype == DType::Bool) a.raw().copy_(torch::arange(12).reshape({2, 3, 2}).remainder(2).to(torch::kBool));
  return a;
}

std::string expect_error(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const Error& e) {
    return e.what();
  }
  ADD_FAILURE() << "no error";
  return "";
}

}  // namespace

TEST(MatFile, RoundTripsEveryNumericClass) {
  struct Case {
    DType dtype;
    const char* mat_class;
  };
  const Case cases[] = {{DType::Float64, "double"}, {DType::Float32, "single"}, {DType::Int8, "int8"},
                        {DType::UInt8, "uint8"},    {DType::Int16, "int16"},    {DType::UInt16, "uint16"},
                        {DType::Int32, "int32"},    {DType::UInt32, "uint32"},  {DType::Int64, "int64"},
                        {DType::UInt64, "uint64"},  {DType::Bool, "logical"}};
  testing::TempDir dir;
  std::vector<std::pair<std::string, NdArray>> vars;
  for (const auto& c : cases) vars.emplace_back(std::string("v_") + dtype_name(c.dtype), counting_array(c.dtype));
  write_mat(dir.file("all.mat"), vars);

  MatFile file(dir.file("all.mat"));
  ASSERT_EQ(file.variables().size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& info = file.variables()[i];
    SCOPED_TRACE(info.name);
    EXPECT_EQ(info.name, vars[i].first);  // file order kept
    EXPECT_EQ(info.mat_class, cases[i].mat_class);
    EXPECT_EQ(info.dims, (std::vector<int64_t>{2, 3, 2}));
    EXPECT_TRUE(info.numeric);
    const NdArray back = file.load(info.name);
    EXPECT_EQ(back.dtype, cases[i].dtype);
    EXPECT_TRUE(torch::equal(back.to_float64(), vars[i].second.to_float64()));
  }
}

TEST(MatFile, FastPathAgreesWithMatioAndDeclinesWhatItCannotRead) {
  testing::TempDir dir;
  const DType types[] = {DType::Float64, DType::Float32, DType::Int8,  DType::UInt8,  DType::Int16, DType::UInt16,
                         DType::Int32,   DType::UInt32,  DType::Int64, DType::UInt64, DType::Bool};
  std::vector<std::pair<std::string, NdArray>> vars;
  for (auto t : types) vars.emplace_back("v_" + dtype_name(t), counting_array(t));
  write_mat(dir.file("all.mat"), vars);
  for (const auto& [name, array] : vars) {
    SCOPED_TRACE(name);
    auto fast = read_mat5_compressed(dir.file("all.mat"), name);
    ASSERT_TRUE(fast.has_value());
    EXPECT_EQ(fast->dtype, array.dtype);
    EXPECT_EQ(fast->shape, array.shape);
    EXPECT_TRUE(torch::equal(fast->to_float64(), array.to_float64()));
  }
  EXPECT_FALSE(read_mat5_compressed(dir.file("all.mat"), "absent").has_value());

  // Uncompressed variables are left to matio.
  double values[4] = {1, 2, 3, 4};
  size_t dims[2] = {2, 2};
  mat_t* mat = Mat_CreateVer(dir.file("plain.mat").c_str(), nullptr, MAT_FT_MAT5);
  matvar_t* v = Mat_VarCreate("x", MAT_C_DOUBLE, MAT_T_DOUBLE, 2, dims, values, 0);
  Mat_VarWrite(mat, v, MAT_COMPRESSION_NONE);
  Mat_VarFree(v);
  Mat_Close(mat);
  EXPECT_FALSE(read_mat5_compressed(dir.file("plain.mat"), "x").has_value());
  EXPECT_TRUE(torch::equal(MatFile(dir.file("plain.mat")).load("x").to_float64(),
                           torch::tensor({{1.0, 3.0}, {2.0, 4.0}}, torch::kFloat64)));
}

TEST(MatFile, UnsignedValuesAboveSignedRangeSurvive) {
  testing::TempDir dir;
  NdArray a = NdArray::zeros(DType::UInt16, {1, 2});
  a.raw().copy_(torch::tensor({-1, -2}, torch::kInt16));  // bit patterns of 65535, 65534
  write_mat(dir.file("u.mat"), {{"u", a}});
  const NdArray back = MatFile(dir.file("u.mat")).load("u");
  EXPECT_TRUE(torch::equal(back.to_int64(), torch::tensor({{65535, 65534}}, torch::kInt64)));
  EXPECT_TRUE(torch::equal(back.to_float32(), torch::tensor({{65535.0f, 65534.0f}})));
}

TEST(MatFile, ReadsColumnMajorIntoRowMajorIndexing) {
  testing::TempDir dir;
  auto t = torch::arange(24, torch::kFloat64).reshape({2, 3, 4});
  write_mat(dir.file("t.mat"), {{"t", NdArray::from_tensor(t)}});
  const NdArray back = MatFile(dir.file("t.mat")).load("t");
  EXPECT_EQ(back.shape, (std::vector<int64_t>{2, 3, 4}));
  EXPECT_EQ(back.strides, (std::vector<int64_t>{1, 2, 6}));  // MATLAB layout
  EXPECT_TRUE(torch::equal(back.to_float64(), t));
  EXPECT_TRUE(torch::equal(back.contiguous().raw(), t));
}

TEST(MatFile, ReadsUncompressedAndV73Files) {
  testing::TempDir dir;
  double values[6] = {1, 2, 3, 4, 5, 6};
  size_t dims[2] = {2, 3};
  for (auto [ver, name] : {std::pair{MAT_FT_MAT5, "v5.mat"}, std::pair{MAT_FT_MAT73, "v73.mat"}}) {
    SCOPED_TRACE(name);
    mat_t* mat = Mat_CreateVer(dir.file(name).c_str(), nullptr, ver);
    ASSERT_NE(mat, nullptr);
    matvar_t* v = Mat_VarCreate("x", MAT_C_DOUBLE, MAT_T_DOUBLE, 2, dims, values, 0);
    ASSERT_EQ(Mat_VarWrite(mat, v, MAT_COMPRESSION_NONE), 0);
    Mat_VarFree(v);
    Mat_Close(mat);
    const NdArray x = MatFile(dir.file(name)).load("x");
    EXPECT_EQ(x.shape, (std::vector<int64_t>{2, 3}));
    // Column-major 1..6: row 0 is 1 3 5.
    EXPECT_TRUE(torch::equal(x.to_float64(), torch::tensor({{1.0, 3.0, 5.0}, {2.0, 4.0, 6.0}}, torch::kFloat64)));
  }
}

TEST(MatFile, NonNumericVariablesAreListedButRefused) {
  testing::TempDir dir;
  const auto path = dir.file("mixed.mat");
  mat_t* mat = Mat_CreateVer(path.c_str(), nullptr, MAT_FT_MAT5);
  ASSERT_NE(mat, nullptr);
  {  // char
    const char* text = "hello";
    size_t dims[2] = {1, 5};
    matvar_t* v = Mat_VarCreate("note", MAT_C_CHAR, MAT_T_UTF8, 2, dims, (void*)text, 0);
    Mat_VarWrite(mat, v, MAT_COMPRESSION_ZLIB);
    Mat_VarFree(v);
  }
  {  // cell of one double, 3-D dims to show it still counts as 2-D
    size_t dims[3] = {1, 1, 1};
    matvar_t* cell = Mat_VarCreate("box", MAT_C_CELL, MAT_T_CELL, 3, dims, nullptr, 0);
    double one = 1.0;
    size_t d2[2] = {1, 1};
    Mat_VarSetCell(cell, 0, Mat_VarCreate(nullptr, MAT_C_DOUBLE, MAT_T_DOUBLE, 2, d2, &one, 0));
    Mat_VarWrite(mat, cell, MAT_COMPRESSION_ZLIB);
    Mat_VarFree(cell);
  }
  {  // struct with one field
    size_t dims[2] = {1, 1};
    const char* fields[1] = {"a"};
    matvar_t* st = Mat_VarCreateStruct("meta", 2, dims, fields, 1);
    double one = 1.0;
    Mat_VarSetStructFieldByName(st, "a", 0, Mat_VarCreate(nullptr, MAT_C_DOUBLE, MAT_T_DOUBLE, 2, dims, &one, 0));
    Mat_VarWrite(mat, st, MAT_COMPRESSION_ZLIB);
    Mat_VarFree(st);
  }
  {  // sparse 2 x 2 identity
    mat_uint32_t ir[2] = {0, 1}, jc[3] = {0, 1, 2};
    double data[2] = {1.0, 1.0};
    mat_sparse_t sparse{};
    sparse.nzmax = 2;
    sparse.ir = ir;
    sparse.nir = 2;
    sparse.jc = jc;
    sparse.njc = 3;
    sparse.ndata = 2;
    sparse.data = data;
    size_t dims[2] = {2, 2};
    matvar_t* v = Mat_VarCreate("sp", MAT_C_SPARSE, MAT_T_DOUBLE, 2, dims, &sparse, MAT_F_DONT_COPY_DATA);
    Mat_VarWrite(mat, v, MAT_COMPRESSION_NONE);
    Mat_VarFree(v);
  }
  Mat_Close(mat);

  MatFile file(path);
  ASSERT_EQ(file.variables().size(), 4u);
  const char* names[] = {"note", "box", "meta", "sp"};
  const char* classes[] = {"char", "cell", "struct", "sparse"};
  for (int i = 0; i < 4; ++i) {
    const auto& info = file.variables()[i];
    EXPECT_EQ(info.name, names[i]);
    EXPECT_EQ(info.mat_class, classes[i]);
    EXPECT_FALSE(info.numeric);
    EXPECT_EQ(info.detection_ndim(), 2);
    const std::string msg = expect_error([&] { file.load(info.name, "cube"); });
    EXPECT_EQ(msg, "variable '" + std::string(names[i]) + "' in '" + path + "' is of class " + classes[i] +
                       " and cannot be used as a cube");
  }
}

TEST(MatFile, UnreadableAndMissingFilesNameTheFile) {
  testing::TempDir dir;
  const auto junk = dir.file("junk.mat");
  std::ofstream(junk) << "this is not a MAT-file at all, just some text that is long enough";
  EXPECT_NE(expect_error([&] { MatFile f(junk); }).find(junk), std::string::npos);
  const auto missing = dir.file("missing.mat");
  EXPECT_THROW(MatFile f(missing), FileNotFoundError);
  EXPECT_NE(expect_error([&] { MatFile f(missing); }).find(missing), std::string::npos);
}

TEST(MatFile, MissingVariableIsAKeyError) {
  testing::TempDir dir;
  write_mat(dir.file("a.mat"), {{"a", NdArray::zeros(DType::Float32, {2, 2})}});
  MatFile file(dir.file("a.mat"));
  EXPECT_THROW(file.load("b"), KeyError);
  EXPECT_EQ(expect_error([&] { file.load("b"); }), "variable 'b' not found in '" + dir.file("a.mat") + "'");
}

TEST(MatFile, FailedWriteLeavesNoFile) {
  testing::TempDir dir;
  const auto path = dir.file("no-such-dir/out.mat");
  EXPECT_THROW(write_mat(path, {{"a", NdArray::zeros(DType::Float32, {2, 2})}}), RuntimeError);
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(MatFile, AWriteThatFailsPartWayKeepsTheEarlierFileAndLeavesNoTemporary) {
  testing::TempDir dir;
  const auto path = dir.file("out.mat");
  write_mat(path, {{"a", NdArray::zeros(DType::Float32, {2, 2})}});
  const std::string before = testing::read_file(path);
  torch::manual_seed(3);
  const NdArray noise = NdArray::from_tensor(torch::rand({64, 64, 8}));  // does not compress below the limit
  std::string message;
  {
    testing::FileSizeLimit limit(4096);
    message = testing::error_of<RuntimeError>([&] { write_mat(path, {{"noise", noise}}); });
  }
  EXPECT_EQ(message, "cannot write '" + path + "'");
  EXPECT_EQ(testing::read_file(path), before);
  EXPECT_EQ(testing::entries(dir.path()), std::vector<std::string>{"out.mat"});
}

TEST(MatFile, WrittenStreamsDecodeWithMatioInEveryLayout) {
  // Column-major data whose bytes need no padding is compressed in place;
  // padded, row-major, empty or long-named variables go through one copy.
  testing::TempDir dir;
  NdArray column_major = NdArray::zeros(DType::Float32, {4, 6, 2});
  column_major.strides = {1, 4, 24};
  auto* f = static_cast<float*>(column_major.data);
  for (int i = 0; i < 48; ++i) f[i] = static_cast<float>(i) * 0.5f - 3.0f;
  NdArray odd = counting_array(DType::UInt8);
  odd.shape = {3, 4};
  odd.strides = {4, 1};
  NdArray row_major = NdArray::from_tensor(torch::arange(27).reshape({3, 3, 3}).to(torch::kInt16));
  NdArray empty = NdArray::zeros(DType::Float64, {0, 3});
  const std::vector<std::pair<std::string, NdArray>> vars = {
      {"cm", column_major}, {"odd", odd}, {"rm", row_major}, {"empty", empty}, {"a_rather_long_variable_name", odd}};
  write_mat(dir.file("layouts.mat"), vars);

  mat_t* mat = Mat_Open(dir.file("layouts.mat").c_str(), MAT_ACC_RDONLY);
  ASSERT_NE(mat, nullptr);
  for (const auto& [name, array] : vars) {
    SCOPED_TRACE(name);
    matvar_t* v = Mat_VarRead(mat, name.c_str());
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(v->rank, array.ndim());
    NdArray back;
    back.dtype = array.dtype;
    back.shape = array.shape;
    back.strides.assign(back.shape.size(), 1);
    for (size_t k = 1; k < back.shape.size(); ++k) back.strides[k] = back.strides[k - 1] * back.shape[k - 1];
    for (int k = 0; k < v->rank; ++k) EXPECT_EQ(static_cast<int64_t>(v->dims[k]), array.shape[k]);
    if (array.numel() > 0) {
      back.data = v->data;
      EXPECT_TRUE(torch::equal(back.to_float64(), array.to_float64()));
    }
    Mat_VarFree(v);
    EXPECT_TRUE(torch::equal(MatFile(dir.file("layouts.mat")).load(name).to_float64(), array.to_float64()));
  }
  Mat_Close(mat);
}

// ---------------------------------------------------------------- our Level 5 reader

namespace m5 = testing::mat5;

TEST(MatFile, BigEndianFilesReadCompressedOrNot) {
  testing::TempDir dir;
  const auto path = dir.file("be.mat");
  m5::Matrix cube;
  cube.name = "cube";
  cube.array_class = m5::kClassSingle;
  cube.dims = {2, 3, 2};
  cube.data_type = m5::kSingle;
  std::vector<float> values;
  for (int i = 0; i < 12; ++i) values.push_back(static_cast<float>(i) - 2.5f);
  cube.data = m5::values(values, /*big_endian=*/true);
  m5::Matrix lab;
  lab.name = "lab";
  lab.array_class = m5::kClassInt16;
  lab.dims = {2, 2};
  lab.data_type = m5::kInt16;
  lab.data = m5::values(std::vector<int16_t>{-300, 1, 2, 770}, true);
  m5::write_bytes(path, m5::header(true) + m5::compressed(m5::matrix(cube, true), true) + m5::matrix(lab, true));

  MatFile file(path);
  ASSERT_EQ(file.variables().size(), 2u);
  EXPECT_EQ(file.info("cube").mat_class, "single");
  EXPECT_EQ(file.info("cube").dims, (std::vector<int64_t>{2, 3, 2}));
  const NdArray c = file.load("cube");
  EXPECT_EQ(c.dtype, DType::Float32);
  // Column-major: element (1, 0, 0) is the second value stored.
  EXPECT_EQ(c.raw()[1][0][0].item<float>(), -1.5f);
  EXPECT_EQ(c.raw()[0][1][1].item<float>(), 8.0f - 2.5f);  // offset 0 + 1 * 2 + 1 * 6
  EXPECT_TRUE(torch::equal(file.load("lab").to_int64(), torch::tensor({{-300, 2}, {1, 770}}, torch::kInt64)));
  // The compressed-only entry reads little-endian files alone.
  EXPECT_FALSE(read_mat5_compressed(path, "cube").has_value());
}

TEST(MatFile, NarrowStorageWidensAndLogicalFlagGivesBool) {
  testing::TempDir dir;
  const auto path = dir.file("narrow.mat");
  m5::Matrix d;  // MATLAB keeps whole-valued doubles as uint8
  d.name = "d";
  d.dims = {1, 3};
  d.data_type = m5::kUInt8;
  d.data = m5::values(std::vector<uint8_t>{0, 200, 255});
  m5::Matrix mask;
  mask.name = "mask";
  mask.array_class = m5::kClassUInt8;
  mask.flag_bits = 0x0200;
  mask.dims = {1, 3};
  mask.data_type = m5::kUInt8;
  mask.data = m5::values(std::vector<uint8_t>{1, 0, 7});
  m5::Matrix wide;  // int64 class, int32 storage: exact
  wide.name = "wide";
  wide.array_class = m5::kClassInt64;
  wide.dims = {1, 2};
  wide.data_type = m5::kInt32;
  wide.data = m5::values(std::vector<int32_t>{-2147483647, 5});
  m5::write_bytes(path, m5::header() + m5::compressed(m5::matrix(d)) + m5::matrix(mask) + m5::matrix(wide));
  MatFile file(path);
  EXPECT_EQ(file.info("mask").mat_class, "logical");
  const NdArray dd = file.load("d");
  EXPECT_EQ(dd.dtype, DType::Float64);
  EXPECT_TRUE(torch::equal(dd.to_float64(), torch::tensor({{0.0, 200.0, 255.0}}, torch::kFloat64)));
  const NdArray mm = file.load("mask");
  EXPECT_EQ(mm.dtype, DType::Bool);
  EXPECT_TRUE(torch::equal(mm.raw(), torch::tensor({{true, false, true}})));
  const NdArray ww = file.load("wide");
  EXPECT_EQ(ww.dtype, DType::Int64);
  EXPECT_TRUE(torch::equal(ww.to_int64(), torch::tensor({{int64_t{-2147483647}, int64_t{5}}}, torch::kInt64)));
}

TEST(MatFile, SmallElementsEmptyPlaceholdersAndTrailingPadding) {
  testing::TempDir dir;
  const auto path = dir.file("small.mat");
  // A 1 x 1 uint8 whose name and value are small elements (packed into their tags).
  std::string body = m5::element(m5::kUInt32, m5::word(m5::kClassUInt8) + m5::word(0)) +
                     m5::element(m5::kInt32, m5::values(std::vector<int32_t>{1, 1})) +
                     m5::word((1u << 16) | m5::kInt8) + std::string("v\0\0\0", 4) +
                     m5::word((1u << 16) | m5::kUInt8) + std::string("\x2a\0\0\0", 4);
  const std::string small = m5::word(m5::kMatrix) + m5::word(static_cast<uint32_t>(body.size())) + body;
  m5::write_bytes(path, m5::header() + m5::word(m5::kMatrix) + m5::word(0) + small + std::string(16, '\0'));
  MatFile file(path);
  ASSERT_EQ(file.variables().size(), 2u);
  EXPECT_EQ(file.variables()[0].name, "");
  EXPECT_EQ(file.variables()[0].mat_class, "empty");
  EXPECT_FALSE(file.variables()[0].numeric);
  EXPECT_EQ(file.load("v").raw().item<uint8_t>(), 42);
}

TEST(MatFile, SamplesOfTheOtherVersionsStillRead) {
  // Sound files of every version read as before; the hostile ones are in
  // tests/hostile/mat_hostile_test.cpp.
  testing::TempDir dir;
  const auto path = dir.file("v4.mat");
  m5::write_bytes(path, m5::values(std::vector<int32_t>{0, 1, 2, 0, 2}) + std::string("q\0", 2) +
                            m5::values(std::vector<double>{1.25, -4.0}));
  MatFile file(path);
  EXPECT_EQ(file.info("q").dims, (std::vector<int64_t>{1, 2}));
  EXPECT_TRUE(torch::equal(file.load("q").to_float64(), torch::tensor({{1.25, -4.0}}, torch::kFloat64)));
}

}  // namespace lumora
