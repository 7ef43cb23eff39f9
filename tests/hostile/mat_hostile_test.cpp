// Hostile MAT-files and label maps: cut, corrupt or lying files and absurd
// class ids, read in-process and through the built programs. Every case must
// end in the project's error naming the file and the variable, exit status 1,
// no signal, nothing written, and quickly without a large allocation.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <limits>

#include "lumora/config.h"
#include "lumora/core/errors.h"
#include "lumora/core/format.h"
#include "lumora/datasets/cubeset.h"
#include "lumora/io/label_map.h"
#include "lumora/io/matfile.h"
#include "support/mat5_bytes.h"
#include "support/sample_bundle.h"
#include "support/testing.h"
#if LUMORA_HAVE_GDAL
#include "convert/fixtures.h"
#include "lumora/convert/loaders.h"
#endif

namespace lumora {
namespace {

namespace fs = std::filesystem;
namespace m5 = testing::mat5;

constexpr int64_t kOneGiBInKb = 1024 * 1024;
constexpr double kQuickSeconds = 5.0;

std::string error_of(const std::function<void()>& fn) { return testing::error_of<Error>(fn); }

// Opens the file and loads every numeric variable, as the programs do.
void open_and_load(const std::string& path) {
  MatFile file(path);
  for (const auto& v : file.variables())
    if (v.numeric) file.load(v.name);
}

std::string bytes_of(const std::string& path) { return testing::read_file(path); }

void cut(const std::string& path, uint64_t size) { fs::resize_file(path, size); }

void put_u32(std::string& bytes, size_t offset, uint32_t v) { std::memcpy(&bytes[offset], &v, 4); }

// Inflated size of the zlib stream of the first (compressed) variable.
uint64_t inflated_size(const std::string& file_bytes) {
  uint32_t size;
  std::memcpy(&size, &file_bytes[132], 4);
  z_stream zs{};
  inflateInit(&zs);
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(file_bytes.data() + 136));
  zs.avail_in = size;
  std::vector<unsigned char> out(1 << 16);
  uint64_t total = 0;
  int rc;
  do {
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    rc = inflate(&zs, Z_NO_FLUSH);
    total += out.size() - zs.avail_out;
  } while (rc == Z_OK);
  inflateEnd(&zs);
  return total;
}

// No file was written into `dir` (it may not exist, or be empty).
void expect_nothing_written(const std::string& dir) {
  if (!fs::exists(dir)) return;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    ADD_FAILURE() << "left behind: " << entry.path().string();
}

// The whole failure contract of a program on hostile input.
void expect_clean_failure(const testing::RunResult& r, const std::string& message) {
  EXPECT_EQ(r.exit_code, 1) << r.err;  // 128 + n would be a signal
  EXPECT_EQ(r.err, "error: " + message + "\n");
}

void expect_small_and_quick(const testing::RunResult& r) {
  EXPECT_GT(r.peak_rss_kb, 0) << "no figure from /usr/bin/time";
  EXPECT_LT(r.peak_rss_kb, kOneGiBInKb) << "peak RSS " << r.peak_rss_kb << " KB";
  EXPECT_LT(r.seconds, kQuickSeconds);
}

// A scene the programs accept (16 x 32 pixels at least), data.mat and gt.mat.
class Scene : public ::testing::Test {
 protected:
  void SetUp() override {
    auto scene = testing::make_tiny_scene(32, 32, 8, 3);
    labels = scene.labels;
    testing::write_scene(dir.path(), scene.cube, scene.labels);
    // predict reads its bundle first: a valid one lets it reach the scene.
    save_bundle(testing::sample_bundle(), dir.file("spt_models.pkl"));
  }
  std::string data() const { return dir.file("data.mat"); }
  std::string gt() const { return dir.file("gt.mat"); }
  std::string out() const { return dir.file("out"); }

  // gt.mat holding the scene's labels with one pixel set to `value`, in `dtype`.
  template <typename T>
  void write_labels(DType dtype, T value) {
    NdArray a = NdArray::zeros(dtype, {32, 32});
    a.raw().copy_(labels.to(a.raw().scalar_type()));
    static_cast<T*>(a.data)[40] = value;
    write_mat(gt(), {{"gt", a}});
  }

  testing::RunResult train(bool measured = false) {
    const std::vector<std::string> args = {"--data", data(), "--gt", gt(), "--epochs", "1", "--base_filters", "4",
                                           "--num_filters", "2", "--out-dir", out()};
    return measured ? testing::run_program_measured("lumora-train", args) : testing::run_program("lumora-train", args);
  }
  testing::RunResult treefit() {
    return testing::run_program("lumora-treefit", {"--data", data(), "--gt", gt(), "--epochs", "1", "--base_filters",
                                                   "4", "--num_filters", "2", "--out-dir", out()});
  }
  testing::RunResult predict(bool measured = false) {
    const std::vector<std::string> args = {"--data", data(), "--gt", gt(), "--model", dir.file("spt_models.pkl"),
                                           "--out-dir", out()};
    return measured ? testing::run_program_measured("lumora-predict", args)
                    : testing::run_program("lumora-predict", args);
  }

  testing::TempDir dir;
  torch::Tensor labels;
};

// A small numeric matrix element, uncompressed.
std::string small_matrix(const std::string& name, std::vector<int32_t> dims, int values) {
  m5::Matrix m;
  m.name = name;
  m.dims = std::move(dims);
  m.data = m5::values(std::vector<double>(static_cast<size_t>(values), 1.5));
  return m5::matrix(m);
}

}  // namespace

// ---------------------------------------------------------------- cut files

TEST_F(Scene, CompressedCubeCutMidStreamFailsNamingVariable) {
  const std::string whole = bytes_of(data());
  const uint64_t stream = whole.size() - 136;
  const uint64_t keep = 136 + stream / 2;
  cut(data(), keep);
  const std::string expected = "variable 'cube' in '" + data() + "' is truncated: its element needs " +
                               thousands(static_cast<int64_t>(stream)) + " bytes but the file ends after " +
                               thousands(static_cast<int64_t>(keep - 136));
  EXPECT_EQ(error_of([&] { MatFile f(data()); }), expected);
  // Training used to go on, on zeros, and succeed.
  auto r = train();
  expect_clean_failure(r, expected);
  expect_nothing_written(out());
}

TEST_F(Scene, CompressedStreamCutUnderAMatchingTagIsTruncatedNotZeros) {
  std::string bytes = bytes_of(data());
  const uint64_t total = inflated_size(bytes);
  const uint32_t keep = static_cast<uint32_t>((bytes.size() - 136) / 2);
  bytes.resize(136 + keep);
  put_u32(bytes, 132, keep);  // the tag agrees with the cut file
  m5::write_bytes(data(), bytes);
  const std::string prefix = "variable 'cube' in '" + data() + "' is truncated: its compressed data ends after ";
  const std::string suffix = " of the " + thousands(static_cast<int64_t>(total)) + " bytes its header states";
  const std::string msg = error_of([&] { open_and_load(data()); });
  EXPECT_EQ(msg.rfind(prefix, 0), 0u) << msg;
  EXPECT_EQ(msg.substr(msg.size() - std::min(msg.size(), suffix.size())), suffix) << msg;
  auto r = train();
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "error: " + msg + "\n");
  expect_nothing_written(out());
}

TEST_F(Scene, CorruptChecksumIsCorrupt) {
  std::string bytes = bytes_of(data());
  bytes[bytes.size() - 1] ^= 0x5A;  // the stream's Adler-32
  m5::write_bytes(data(), bytes);
  EXPECT_EQ(error_of([&] { open_and_load(data()); }),
            "variable 'cube' in '" + data() + "' is corrupt: its compressed data cannot be inflated (incorrect data check)");
}

TEST(MatHostile, UncompressedVariableCutShort) {
  testing::TempDir dir;
  const std::string path = dir.file("plain.mat");
  const std::string element = small_matrix("x", {10, 10}, 100);
  m5::write_bytes(path, m5::header() + element);
  cut(path, 128 + 8 + 400);
  EXPECT_EQ(error_of([&] { open_and_load(path); }),
            "variable 'x' in '" + path + "' is truncated: its element needs " +
                thousands(static_cast<int64_t>(element.size() - 8)) + " bytes but the file ends after 400");
}

TEST(MatHostile, DataShorterThanItsDimensions) {
  testing::TempDir dir;
  const std::string path = dir.file("short.mat");
  m5::write_bytes(path, m5::header() + small_matrix("x", {10, 10}, 50));
  EXPECT_EQ(error_of([&] { open_and_load(path); }),
            "variable 'x' in '" + path +
                "' is truncated: its dimensions 10 x 10 need 100 values (800 bytes of float64) but its data holds 400 "
                "bytes");
  m5::write_bytes(path, m5::header() + m5::compressed(small_matrix("x", {10, 10}, 50)));
  EXPECT_NE(error_of([&] { open_and_load(path); }).find("' is truncated: its dimensions 10 x 10 need"),
            std::string::npos);
}

TEST(MatHostile, FileEndingInsideATag) {
  testing::TempDir dir;
  const std::string path = dir.file("tail.mat");
  const std::string first = small_matrix("x", {2, 2}, 4);
  m5::write_bytes(path, m5::header() + first + std::string("\x0e\x00\x00\x00\x40", 5));
  EXPECT_EQ(error_of([&] { MatFile f(path); }), "MAT-file '" + path + "' is truncated: it ends 5 bytes into the element at byte " +
                                                    std::to_string(128 + first.size()));
}

// ---------------------------------------------------------------- sizes that lie

TEST(MatHostile, GiantTagInTinyFileFailsFastAndSmall) {
  testing::TempDir dir;
  const std::string path = dir.file("giant.mat");
  std::string bytes = m5::header() + m5::compressed(small_matrix("cube", {2, 2, 1}, 4));
  put_u32(bytes, 132, 0xFFFFFFF0u);
  bytes.resize(200, '\0');
  m5::write_bytes(path, bytes);
  const std::string expected =
      "variable 'cube' in '" + path + "' is truncated: its element needs 4,294,967,280 bytes but the file ends after 64";
  EXPECT_EQ(error_of([&] { MatFile f(path); }), expected);

  // As the cube of a training run: this used to zero-fill 4 GB for 40 s.
  auto scene = testing::make_tiny_scene(32, 32, 4, 2);
  testing::write_scene(dir.path(), scene.cube, scene.labels);
  auto r = testing::run_program_measured(
      "lumora-train", {"--data", path, "--gt", dir.file("gt.mat"), "--epochs", "1", "--out-dir", dir.file("out")});
  expect_clean_failure(r, expected);
  expect_small_and_quick(r);
  expect_nothing_written(dir.file("out"));
}

TEST(MatHostile, InflatedSizeBeyondWhatTheStreamCanHold) {
  testing::TempDir dir;
  const std::string path = dir.file("bomb.mat");
  std::string element = small_matrix("x", {2, 2}, 4);
  put_u32(element, 4, 0xFFFFFFF0u);  // the matrix claims 4 GB once inflated
  const std::string stream = m5::zlib(element);
  m5::write_bytes(path, m5::header() + m5::word(m5::kCompressed) + m5::word(static_cast<uint32_t>(stream.size())) + stream);
  EXPECT_EQ(error_of([&] { MatFile f(path); }),
            "variable 'x' in '" + path + "' is corrupt: its header states 4,294,967,288 bytes, more than its " +
                std::to_string(stream.size()) + " compressed bytes can inflate to");
}

TEST(MatHostile, OverflowingDimensionsFailBeforeAnyTensor) {
  testing::TempDir dir;
  const std::string path = dir.file("overflow.mat");
  m5::write_bytes(path, m5::header() + m5::compressed(small_matrix("cube", {2147483647, 2147483647, 2147483647}, 4)));
  const std::string expected = "variable 'cube' in '" + path +
                               "' is corrupt: its dimensions 2147483647 x 2147483647 x 2147483647 hold more values "
                               "than can be counted";
  EXPECT_EQ(error_of([&] { MatFile f(path); }), expected);
  // Used to abort inside LibTorch with a stack trace.
  auto scene = testing::make_tiny_scene(32, 32, 4, 2);
  testing::write_scene(dir.path(), scene.cube, scene.labels);
  auto r = testing::run_program("lumora-train", {"--data", path, "--gt", dir.file("gt.mat"), "--out-dir", dir.file("out")});
  expect_clean_failure(r, expected);
  EXPECT_EQ(r.err.find("Exception raised from"), std::string::npos);
}

TEST(MatHostile, EmptyArrayWhoseOtherAxesCannotBeAddressed) {
  // Found by fuzzing: no values, yet its strides overflowed.
  testing::TempDir dir;
  const std::string path = dir.file("empty.mat");
  m5::write_bytes(path, m5::header() + small_matrix("x", {0, 2147483647, 2147483647, 2147483647}, 0));
  EXPECT_EQ(error_of([&] { MatFile f(path); }),
            "variable 'x' in '" + path +
                "' is corrupt: its dimensions 0 x 2147483647 x 2147483647 x 2147483647 are too large to address, even "
                "with no values");
  m5::write_bytes(path, m5::header() + small_matrix("x", {0, 2147483647}, 0));
  EXPECT_EQ(MatFile(path).load("x").shape, (std::vector<int64_t>{0, 2147483647}));  // addressable: fine
}

TEST(MatHostile, NegativeDimension) {
  testing::TempDir dir;
  const std::string path = dir.file("negative.mat");
  m5::write_bytes(path, m5::header() + small_matrix("x", {-3, 4}, 0));
  EXPECT_EQ(error_of([&] { MatFile f(path); }),
            "variable 'x' in '" + path + "' is corrupt: it has a negative dimension (-3 x 4)");
}

TEST(MatHostile, DimensionsBeyondTheFileFailFastAndSmall) {
  testing::TempDir dir;
  const std::string path = dir.file("huge.mat");
  m5::write_bytes(path, m5::header() + m5::compressed(small_matrix("cube", {100000, 100000, 10}, 4)));
  const std::string expected = "variable 'cube' in '" + path +
                               "' is truncated: its dimensions 100000 x 100000 x 10 need 100,000,000,000 values "
                               "(800,000,000,000 bytes of float64) but its data holds 32 bytes";
  EXPECT_EQ(error_of([&] { MatFile f(path); }), expected);
  auto scene = testing::make_tiny_scene(32, 32, 4, 2);
  testing::write_scene(dir.path(), scene.cube, scene.labels);
  auto r = testing::run_program_measured(
      "lumora-train", {"--data", path, "--gt", dir.file("gt.mat"), "--out-dir", dir.file("out")});
  expect_clean_failure(r, expected);
  expect_small_and_quick(r);
}

TEST(MatHostile, ElementClaimingMoreThanItsVariable) {
  testing::TempDir dir;
  const std::string path = dir.file("claim.mat");
  std::string element = small_matrix("x", {2, 2}, 4);
  put_u32(element, 8 + 48 + 4, 1000000);  // the real part's size
  m5::write_bytes(path, m5::header() + element);
  EXPECT_EQ(error_of([&] { MatFile f(path); }),
            "variable 'x' in '" + path + "' is corrupt: an element claims 1,000,000 bytes but only 32 remain in the variable");
}

TEST(MatHostile, UnknownTopLevelElementAndFlood) {
  testing::TempDir dir;
  const std::string path = dir.file("unknown.mat");
  m5::write_bytes(path, m5::header() + m5::element(99, "abcdefgh"));
  EXPECT_EQ(error_of([&] { MatFile f(path); }), "MAT-file '" + path + "' is corrupt: unknown element type 99 at byte 128");

  // A dimensions element of 5,000 entries is refused before it is read.
  m5::Matrix m;
  m.dims.assign(5000, 1);
  m.data = m5::values(std::vector<double>{1.0});
  m5::write_bytes(path, m5::header() + m5::compressed(m5::matrix(m)));
  EXPECT_EQ(error_of([&] { MatFile f(path); }),
            "the variable at byte 128 of '" + path + "' is corrupt: it states 5,000 dimensions");
}

TEST(MatHostile, LevelFourRecordsAreCheckedBeforeMatio) {
  testing::TempDir dir;
  const std::string path = dir.file("v4.mat");
  auto record = [](int32_t rows, int32_t cols, int32_t name_len, const std::string& name, int values) {
    std::string r = m5::values(std::vector<int32_t>{0, rows, cols, 0, name_len}) + name;
    return r + m5::values(std::vector<double>(static_cast<size_t>(values), 2.0));
  };
  m5::write_bytes(path, record(2, 2, 2, std::string("a\0", 2), 4));
  EXPECT_EQ(MatFile(path).load("a").numel(), 4);  // a sound v4 file still reads
  // matio allocated 2 GB for this name and took seconds.
  m5::write_bytes(path, record(2, 2, 2, std::string("a\0", 2), 4) + record(1, 1, 0x7FFFFFFF, "b", 0));
  EXPECT_EQ(error_of([&] { MatFile f(path); }),
            "the variable at byte 54 of '" + path + "' is corrupt: its header states a name of 2147483647 bytes");
  m5::write_bytes(path, record(4, 4, 2, std::string("c\0", 2), 3));
  EXPECT_EQ(error_of([&] { MatFile f(path); }),
            "variable 'c' in '" + path + "' is truncated: its record needs 150 bytes but the file ends after 46");
  m5::write_bytes(path, record(-4, 4, 2, std::string("d\0", 2), 0));
  EXPECT_EQ(error_of([&] { MatFile f(path); }),
            "variable 'd' in '" + path + "' is corrupt: it has a negative dimension (-4 x 4)");
}

// ---------------------------------------------------------------- label maps

TEST_F(Scene, LargestInt64LabelFailsInAllThreePrograms) {
  write_labels<int64_t>(DType::Int64, std::numeric_limits<int64_t>::max());
  const std::string expected = "the label map 'gt' in '" + gt() +
                               "' holds the class id 9223372036854775807; class ids above 65535 are not supported";
  // Each used to wrap the class count and die with SIGSEGV.
  expect_clean_failure(train(), expected);
  expect_nothing_written(out());
  expect_clean_failure(treefit(), expected);
  expect_nothing_written(out());
  auto p = predict();
  expect_clean_failure(p, expected);
  expect_nothing_written(out());
}

TEST_F(Scene, TenMillionLabelFailsFastAndSmall) {
  write_labels<double>(DType::Float64, 1e7);  // used to ask for 20 GB and more
  auto r = train(/*measured=*/true);
  expect_clean_failure(r, "the label map 'gt' in '" + gt() +
                              "' holds the class id 10000000; class ids above 65535 are not supported");
  expect_small_and_quick(r);
  expect_nothing_written(out());
}

TEST_F(Scene, BillionLabelFailsFastAndSmall) {
  write_labels<int32_t>(DType::UInt32, 1000000000);  // used to die with a bare std::bad_alloc
  auto r = predict(/*measured=*/true);
  expect_clean_failure(r, "the label map 'gt' in '" + gt() +
                              "' holds the class id 1000000000; class ids above 65535 are not supported");
  expect_small_and_quick(r);
  expect_nothing_written(out());
}

TEST_F(Scene, MostNegativeLabelIsUnlabelledNotACrash) {
  // Negative labels mean unlabelled, however large: no class is sized by them.
  write_labels<int64_t>(DType::Int64, std::numeric_limits<int64_t>::min());
  const LabelledScene ds(SceneOptions(data(), gt()));
  EXPECT_EQ(ds.labels[1][8].item<int64_t>(), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(ds.num_classes, 4);
  for (const auto& coords : {ds.train_coords, ds.val_coords, ds.test_coords})
    EXPECT_EQ(coords.eq(torch::tensor({1, 8})).all(1).sum().item<int64_t>(), 0);
  auto r = train();
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST_F(Scene, NanLabel) {
  write_labels<double>(DType::Float64, std::nan(""));  // used to train silently on a garbage id
  const std::string expected = "the label map 'gt' in '" + gt() +
                               "' holds 1 value that is not finite (the first is nan); labels must be finite class "
                               "ids, at most 65535";
  EXPECT_EQ(error_of([&] { LabelledScene ds(SceneOptions(data(), gt())); }), expected);
  expect_clean_failure(train(), expected);
  expect_nothing_written(out());
}

TEST_F(Scene, FractionalLabelsAreTruncatedThenBounded) {
  NdArray a = NdArray::zeros(DType::Float32, {32, 32});
  a.raw().copy_(labels.to(torch::kFloat32));
  static_cast<float*>(a.data)[33] = 2.5f;
  static_cast<float*>(a.data)[34] = -0.25f;
  write_mat(gt(), {{"gt", a}});
  const LabelledScene ds(SceneOptions(data(), gt()));
  EXPECT_EQ(ds.labels[1][1].item<int64_t>(), 2);  // toward zero
  EXPECT_EQ(ds.labels[1][2].item<int64_t>(), 0);
  static_cast<float*>(a.data)[35] = 65536.5f;
  write_mat(gt(), {{"gt", a}});
  EXPECT_EQ(error_of([&] { LabelledScene ds2(SceneOptions(data(), gt())); }),
            "the label map 'gt' in '" + gt() + "' holds the class id 65536.5; class ids above 65535 are not supported");
}

TEST(LabelMap, BoundsAtEveryElementType) {
  const std::string path = "scene_gt.mat";
  auto one = [](DType dtype, auto value) {
    NdArray a = NdArray::zeros(dtype, {1, 2});
    static_cast<decltype(value)*>(a.data)[1] = value;
    return a;
  };
  EXPECT_NO_THROW(check_label_map(one(DType::UInt16, uint16_t{65535}), path, "gt"));
  EXPECT_NO_THROW(check_label_map(one(DType::Float64, 65535.0), path, "gt"));
  EXPECT_NO_THROW(check_label_map(one(DType::Float32, 65535.75f), path, "gt"));  // truncates to 65535
  EXPECT_NO_THROW(check_label_map(one(DType::Int8, int8_t{-3}), path, "gt"));
  EXPECT_NO_THROW(check_label_map(one(DType::Int64, std::numeric_limits<int64_t>::min()), path, "gt"));
  EXPECT_NO_THROW(check_label_map(NdArray::zeros(DType::Float32, {0, 5}), path, "gt"));
  EXPECT_EQ(error_of([&] { check_label_map(one(DType::Int32, int32_t{65536}), path, "gt"); }),
            "the label map 'gt' in 'scene_gt.mat' holds the class id 65536; class ids above 65535 are not supported");
  EXPECT_EQ(error_of([&] { check_label_map(one(DType::UInt64, std::numeric_limits<uint64_t>::max()), path, "gt"); }),
            "the label map 'gt' in 'scene_gt.mat' holds the class id 18446744073709551615; class ids above 65535 are "
            "not supported");
  EXPECT_EQ(error_of([&] { check_label_map(one(DType::UInt32, uint32_t{4000000000u}), path, "gt"); }),
            "the label map 'gt' in 'scene_gt.mat' holds the class id 4000000000; class ids above 65535 are not "
            "supported");
  EXPECT_EQ(error_of([&] { check_label_map(one(DType::Float32, -std::numeric_limits<float>::infinity()), path, ""); }),
            "the label map in 'scene_gt.mat' holds 1 value that is not finite (the first is -inf); labels must be "
            "finite class ids, at most 65535");
  EXPECT_EQ(error_of([&] { check_label_map(one(DType::Float64, 1e300), path, "gt"); }),
            "the label map 'gt' in 'scene_gt.mat' holds the class id 1e+300; class ids above 65535 are not supported");
}

#if LUMORA_HAVE_GDAL
class ConvertGt : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::EnviFixture cube;
    testing::write_envi(dir.file("scene.hdr"), dir.file("scene.img"), cube,
                        [](int64_t r, int64_t c, int64_t b) { return static_cast<double>(r + c + b); });
  }
  testing::RunResult convert(const std::string& gt) {
    return testing::run_program("lumora-convert",
                                {"--img", dir.file("scene.hdr"), "--gt", gt, "--out-dir", dir.file("out")});
  }
  testing::TempDir dir;
};

TEST_F(ConvertGt, TruncatedGtWritesNothing) {
  NdArray labels = NdArray::zeros(DType::Float64, {4, 5});
  labels.raw().copy_(torch::arange(20, torch::kFloat64).remainder(3).reshape({4, 5}));
  write_mat(dir.file("labels.mat"), {{"labels", labels}});
  cut(dir.file("labels.mat"), fs::file_size(dir.file("labels.mat")) - 6);
  auto r = convert(dir.file("labels.mat"));
  // Used to write an all-zero gt.mat and succeed.
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err.rfind("error: variable 'labels' in '" + dir.file("labels.mat") + "' is truncated: ", 0), 0u) << r.err;
  expect_nothing_written(dir.file("out"));
}

TEST_F(ConvertGt, HugeLabelWritesNothing) {
  NdArray labels = NdArray::zeros(DType::Float64, {4, 5});
  static_cast<double*>(labels.data)[3] = 1e7;
  write_mat(dir.file("labels.mat"), {{"labels", labels}});
  auto r = convert(dir.file("labels.mat"));
  expect_clean_failure(r, "the label map 'labels' in '" + dir.file("labels.mat") +
                              "' holds the class id 10000000; class ids above 65535 are not supported");
  expect_nothing_written(dir.file("out"));
  // Label maps without variable names are held to the same bounds.
  testing::EnviFixture map;
  map.bands = 1;
  map.data_type = 4;  // float32
  testing::write_envi(dir.file("map.hdr"), dir.file("map.img"), map,
                      [](int64_t row, int64_t col, int64_t) { return row == 1 && col == 2 ? std::nan("") : 1.0; });
  EXPECT_EQ(error_of([&] { convert::_load_gt(dir.file("map.hdr")); }),
            "the label map in '" + dir.file("map.hdr") +
                "' holds 1 value that is not finite (the first is nan); labels must be finite class ids, at most 65535");
}
#endif

}  // namespace lumora
