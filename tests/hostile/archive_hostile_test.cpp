// Hostile tensor files given to the programs: damaged or cut bundles, state
// dicts whose tensors lie outside their storage, objects that are not
// tensors, and files that claim huge sizes. Each must end in "error:" naming
// the file, exit status 1, nothing written, quickly and in little memory;
// files written before this reader existed still load.
#include <gtest/gtest.h>
#include <torch/serialize.h>

#include <filesystem>
#include <fstream>
#include <cstring>
#include <functional>
#include <random>

#include "lumora/core/atomic_file.h"
#include "lumora/core/state_dict.h"
#include "lumora/core/zip_archive.h"
#include "support/testing.h"

namespace lumora {
namespace {

namespace fs = std::filesystem;
constexpr int64_t kOneGiBInKb = 1024 * 1024;

// One tiny tree fit shared by every case: it is the slow part.
class ArchiveHostile : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new testing::TempDir();
    auto scene = testing::make_tiny_scene(32, 32, 8, 3);
    testing::write_scene(dir->path(), scene.cube, scene.labels);
    fit_status = testing::run_program(
                     "lumora-treefit", {"--data", dir->file("data.mat"), "--gt", dir->file("gt.mat"), "--out-dir",
                                        dir->file("fit"), "--epochs", "2", "--ensembles", "1", "--leaf_ensembles", "1",
                                        "--base_filters", "4", "--num_filters", "2", "--val_interval", "1",
                                        "--min_epochs", "1", "--ssm_epochs", "2", "--d_model", "8", "--d_state", "4"})
                     .exit_code;
  }
  static void TearDownTestSuite() { delete dir; }

  void SetUp() override { ASSERT_EQ(fit_status, 0) << "the shared tree fit failed"; }

  static std::string bundle() { return dir->file("fit/spt_models.pkl"); }
  static std::string encoder() { return dir->file("fit/warmstarted.pt"); }

  // lumora-predict into a fresh folder; `out` must stay absent.
  static testing::RunResult predict(const std::string& out, const std::string& model,
                                    std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--data",  dir->file("data.mat"), "--gt", dir->file("gt.mat"),
                                     "--model", model,                  "--out-dir", dir->file(out)};
    args.insert(args.end(), extra.begin(), extra.end());
    return testing::run_program_measured("lumora-predict", args);
  }

  static void expect_clean_failure(const testing::RunResult& r, const std::string& out, const std::string& message) {
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_EQ(r.err, "error: " + message + "\n");
    EXPECT_FALSE(fs::exists(dir->file(out))) << out << " was written";
    EXPECT_GT(r.peak_rss_kb, 0);
    EXPECT_LT(r.peak_rss_kb, kOneGiBInKb) << "peak RSS " << r.peak_rss_kb << " KB";
    EXPECT_LT(r.seconds, 5.0);
  }

  static std::string write(const std::string& name, const std::vector<char>& bytes) {
    write_binary_file(dir->file(name), bytes);
    return dir->file(name);
  }

  // The file re-packed with its pickle edited, every CRC-32 still right.
  static std::string repacked(const std::string& from, const std::string& name,
                              const std::function<std::string(std::string)>& edit) {
    const auto bytes = read_binary_file(from);
    const ZipReader in(bytes);
    ZipWriter out;
    for (const auto& record : in.names()) {
      std::string data(in.record(record));
      if (record == "archive/data.pkl") data = edit(data);
      out.add(record, data);
    }
    return write(name, out.finish());
  }

  static testing::TempDir* dir;
  static int fit_status;
};

testing::TempDir* ArchiveHostile::dir = nullptr;
int ArchiveHostile::fit_status = -1;

const std::string kNotAMapping = "not a mapping of names to tensors saved by torch.save or this program";

TEST_F(ArchiveHostile, FlippedBytesInsideATensorAreCaught) {
  auto bytes = read_binary_file(bundle());
  const ZipReader zip(bytes);
  const std::string_view storage = zip.record("archive/data/3");
  const size_t at = static_cast<size_t>(storage.data() - bytes.data());
  for (size_t i = 0; i < std::min<size_t>(4000, storage.size()); ++i) bytes[at + i] = static_cast<char>(~bytes[at + i]);
  const std::string path = write("flipped.pkl", bytes);
  expect_clean_failure(predict("out_flipped", path), "out_flipped",
                       "cannot read bundle '" + path + "': record 'archive/data/3' is damaged (CRC-32 mismatch)");
}

TEST_F(ArchiveHostile, CutBundlesAndRandomBytesAreRefused) {
  auto bytes = read_binary_file(bundle());
  for (size_t keep : {bytes.size() / 2, bytes.size() - 1, size_t{30}}) {
    const std::string path = write("cut.pkl", std::vector<char>(bytes.begin(), bytes.begin() + keep));
    expect_clean_failure(predict("out_cut", path), "out_cut",
                         "cannot read bundle '" + path + "': truncated, or not a tensor file");
  }
  std::vector<char> noise(1 << 20);
  std::mt19937 rng(3);
  for (auto& c : noise) c = static_cast<char>(rng());
  const std::string path = write("noise.pkl", noise);
  expect_clean_failure(predict("out_noise", path), "out_noise",
                       "cannot read bundle '" + path + "': truncated, or not a tensor file");
}

TEST_F(ArchiveHostile, ADirectoryClaimingGigabytesIsRefusedQuickly) {
  auto bytes = read_binary_file(bundle());
  // The end record's directory size and offset, at 12 and 16 bytes into it.
  const size_t end = bytes.size() - 22;
  const uint32_t huge = 0xF0000000u;
  std::memcpy(&bytes[end + 12], &huge, 4);
  const std::string path = write("huge.pkl", bytes);
  expect_clean_failure(predict("out_huge", path), "out_huge",
                       "cannot read bundle '" + path + "': truncated (the zip directory lies outside the file)");
}

TEST_F(ArchiveHostile, StorageShorterThanItsTensorIsRefused) {
  // The first storage claims 1000 more elements than its record holds.
  const std::string path = repacked(encoder(), "short.pt", [](std::string p) {
    const size_t numel = p.find("cpu") + 3;  // the element count follows "cpu"
    const size_t width = p[numel] == 'K' ? 1 : p[numel] == 'M' ? 2 : 4;
    uint32_t count = 0;
    std::memcpy(&count, &p[numel + 1], width);
    const int32_t claimed = static_cast<int32_t>(count) + 1000;
    std::string wide = "J";
    wide.append(reinterpret_cast<const char*>(&claimed), 4);
    return p.replace(numel, 1 + width, wide);
  });
  const auto r = predict("out_short", bundle(), {"--routing", "soft", "--ssm_load", path});
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_EQ(r.err.rfind("error: cannot read '" + path + "': " + kNotAMapping + " (storage 'archive/data/0' holds ", 0),
            0u)
      << r.err;
  EXPECT_NE(r.err.find("(truncated or damaged))"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir->file("out_short")));
}

TEST_F(ArchiveHostile, TensorOutsideItsStorageIsRefused) {
  // The first tensor starts a million elements into its storage.
  const std::string path = repacked(encoder(), "offset.pt", [](std::string p) {
    const size_t q = p.find('Q');  // BINPERSID; the storage offset follows
    EXPECT_EQ(p.compare(q + 1, 2, std::string("K\0", 2)), 0);
    const int32_t offset = 1000000;
    std::string wide = "J";
    wide.append(reinterpret_cast<const char*>(&offset), 4);
    return p.replace(q + 1, 2, wide);
  });
  const auto r = predict("out_offset", bundle(), {"--routing", "soft", "--ssm_load", path});
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_EQ(r.err, "error: cannot read '" + path + "': " + kNotAMapping +
                       " (tensor offset 1000000 lies outside its storage)\n");
}

TEST_F(ArchiveHostile, ObjectsOtherThanTensorsAreRefused) {
  const std::string path = repacked(encoder(), "object.pt", [](std::string p) {
    // The first value becomes a call of os.system.
    const size_t first = p.find("ctorch._utils\n_rebuild_tensor_v2\n");
    return p.replace(first, 33, "cos\nsystem\n");
  });
  const auto r = predict("out_object", bundle(), {"--routing", "soft", "--ssm_load", path});
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_NE(r.err.find("'" + path + "'"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("os.system"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir->file("out_object")));
}

TEST_F(ArchiveHostile, DeeplyNestedPicklesAreRefusedQuickly) {
  ZipWriter zip;
  zip.add("archive/data.pkl", std::string("\x80\x02") + std::string(400000, ']') + std::string(399999, 'a') + ".");
  const std::string path = write("nested.pkl", zip.finish());
  expect_clean_failure(predict("out_nested", path), "out_nested",
                       "cannot read bundle '" + path + "': damaged pickle (nested too deeply)");
}

TEST_F(ArchiveHostile, FilesOfTheEarlierWriterStillLoad) {
  // Encoder weights as LibTorch's own pickler wrote them before: typed dicts.
  const StateDict weights = load_state_dict_file(encoder());
  c10::Dict<std::string, torch::Tensor> typed;
  for (const auto& [k, v] : weights) typed.insert(k, v);
  const auto legacy = torch::pickle_save(typed);
  const std::string path = write("legacy.pt", std::vector<char>(legacy.begin(), legacy.end()));
  const auto with_legacy = predict("out_legacy", bundle(), {"--routing", "soft", "--ssm_load", path});
  ASSERT_EQ(with_legacy.exit_code, 0) << with_legacy.err;
  const auto with_current = predict("out_current", bundle(), {"--routing", "soft", "--ssm_load", encoder()});
  ASSERT_EQ(with_current.exit_code, 0) << with_current.err;
  EXPECT_EQ(testing::read_file(dir->file("out_legacy/test_results_soft.csv")),
            testing::read_file(dir->file("out_current/test_results_soft.csv")));
}

}  // namespace
}  // namespace lumora
