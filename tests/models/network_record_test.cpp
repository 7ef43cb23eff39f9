#include "lumora/models/network_record.h"

#include <gtest/gtest.h>

#include <fstream>

#include "lumora/core/errors.h"
#include "support/testing.h"

namespace lumora {

TEST(NetworkRecord, SideFileNameBesideTheWeights) {
  EXPECT_EQ(network_record_path("out/best_model.pth"), "out/best_model.json");
  EXPECT_EQ(network_record_path("weights"), "weights.json");
  EXPECT_EQ(network_record_path("a.b/w.pt"), "a.b/w.json");
  EXPECT_EQ(network_record_path("w.json"), "w.json.json");
}

TEST(NetworkRecord, RoundTripsEveryEntry) {
  testing::TempDir dir;
  NetworkRecord r;
  r.num_bands = 48, r.num_classes = 7, r.num_filters = 2, r.num_blocks = 0, r.base_filters = 4;
  r.fp16 = true, r.normalisation = "min_max", r.split.train_ratio = 0.25, r.split.val_ratio = 0.05;
  r.split.seed = 4294967295LL, r.split.train_per_class = 5, r.trained_classes = {1, 3, 6};
  r.best_epoch = 120, r.class_names = {"Water", "Trees, dense"}, r.spectral_support = 19;
  save_network_record(r, dir.file("r.json"));
  const NetworkRecord back = load_network_record(dir.file("r.json"));
  EXPECT_EQ(back.num_bands, 48);
  EXPECT_EQ(back.num_classes, 7);
  EXPECT_EQ(back.num_filters, 2);
  EXPECT_EQ(back.num_blocks, 0);
  EXPECT_EQ(back.base_filters, 4);
  EXPECT_TRUE(back.fp16);
  EXPECT_EQ(back.normalisation, "min_max");
  EXPECT_EQ(back.split, r.split);
  EXPECT_EQ(back.trained_classes, r.trained_classes);
  EXPECT_EQ(back.best_epoch, 120);
  EXPECT_EQ(back.class_names, r.class_names);
  EXPECT_EQ(back.spectral_support, 19);
}

TEST(NetworkRecord, BadEntriesFailNamingFileAndEntry) {
  testing::TempDir dir;
  NetworkRecord r;
  r.num_bands = 8, r.num_classes = 3;
  save_network_record(r, dir.file("ok.json"));
  const std::string good = testing::read_file(dir.file("ok.json"));
  auto broken = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    std::ofstream(dir.file("bad.json"), std::ios::binary) << text;
    return testing::error_of([&] { load_network_record(dir.file("bad.json")); });
  };
  const std::string f = "'" + dir.file("bad.json") + "': ";
  EXPECT_EQ(broken("\"num_bands\": 8", "\"num_bands\": 0"), f + "\"num_bands\" must be an integer of at least 1, got 0");
  // A network without a spectral head records none; a head holds at least one spectrum.
  EXPECT_EQ(good.find("spectral_support"), std::string::npos);
  EXPECT_EQ(broken("\"fp16\"", "\"spectral_support\": 0, \"fp16\""),
            f + "\"spectral_support\" must be an integer of at least 1, got 0");
  EXPECT_EQ(broken("\"normalisation\": \"standard\"", "\"normalisation\": \"zscore\""),
            f + "\"normalisation\" must be \"standard\" or \"min_max\", got \"zscore\"");
  EXPECT_EQ(broken("\"train_ratio\": 0.2", "\"train_ratio\": 1.5"),
            f + "split.train_ratio must be a number from 0 to 1, got 1.5");
  EXPECT_EQ(broken("\"fp16\": false", "\"fp16\": 0"), f + "\"fp16\" must be true or false, got 0");
  EXPECT_EQ(broken("\"model\": \"HyperspectralNet\"", "\"model\": \"Other\""),
            "'" + dir.file("bad.json") + "' does not describe a HyperspectralNet (no \"model\": \"HyperspectralNet\")");
  EXPECT_EQ(broken("\"num_blocks\": 3,", ""), "'" + dir.file("bad.json") + "' has no \"num_blocks\" entry");
  EXPECT_EQ(broken("{", "[").rfind("'" + dir.file("bad.json") + "' is not valid JSON", 0), 0u);
}

}  // namespace lumora
