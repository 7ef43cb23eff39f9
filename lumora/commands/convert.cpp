#include "lumora/commands/convert.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "lumora/commands/cli.h"
#include "lumora/convert/array_ops.h"
#include "lumora/convert/pyjson.h"
#include "lumora/core/atomic_file.h"
#include "lumora/core/elapsed.h"
#include "lumora/core/errors.h"
#include "lumora/core/format.h"
#include "lumora/core/paths.h"
#include "lumora/core/process.h"
#include "lumora/io/matfile.h"
#include "lumora/utils/display.h"

namespace lumora::commands::convert {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;
using namespace lumora::convert;
using namespace lumora::display;

struct Options {
  std::string img;
  std::optional<std::string> gt;
  std::string out_dir;
  std::optional<std::array<int64_t, 4>> crop;
  std::string data_key = "data";
  std::string gt_key = "gt";
};

std::string upper(std::string s) {
  for (auto& ch : s) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  return s;
}

// MAT-file readers only see variables with MATLAB names.
void check_variable_name(const std::string& option, const std::string& name) {
  bool ok = !name.empty() && name.size() <= 63 && std::isalpha(static_cast<unsigned char>(name[0]));
  for (char ch : name) ok = ok && (std::isalnum(static_cast<unsigned char>(ch)) || ch == '_');
  if (!ok)
    throw ValueError(option + " must be a MATLAB variable name (a letter, then letters, digits or underscores, " +
                     "at most 63 characters), got '" + name + "'");
}

std::string loaded_line(const NdArray& a) {
  return "  " + GREEN + "\u2713" + RESET + " Loaded: shape=" + shape_text(a.shape) + " dtype=" + dtype_name(a.dtype);
}

// The rows and columns of a shape, as a tuple.
std::string spatial_text(const NdArray& a) {
  const size_t n = std::min<size_t>(2, a.shape.size());
  return shape_text(std::vector<int64_t>(a.shape.begin(), a.shape.begin() + static_cast<std::ptrdiff_t>(n)));
}

std::string megabytes(double bytes) { return fmt::format("{:.1f}", bytes / 1048576.0); }

std::string file_megabytes(const std::string& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  return megabytes(ec ? 0.0 : static_cast<double>(size));
}

std::string text_of(const json& v) { return v.is_string() ? v.get<std::string>() : python_json_dump(v); }

std::string source_format(const json& meta) {
  return meta.is_object() && meta.contains("_source_format") ? text_of(meta["_source_format"]) : "unknown";
}

std::string rule_line() {
  std::string rule;
  for (int i = 0; i < 60; ++i) rule += "\u2550";
  return BOLD + GREEN + rule + RESET;
}

// "[400.0, 404.5]": the texts as reals in shortest form, or as texts when
// one of them is not a number.
std::string wavelength_list(const std::vector<std::string>& texts) {
  std::string reals = "[";
  for (size_t i = 0; i < texts.size(); ++i) {
    const std::string t = texts[i];
    const auto first = t.find_first_not_of(" \t");
    const std::string s = first == std::string::npos ? "" : t.substr(first, t.find_last_not_of(" \t") - first + 1);
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(s.c_str(), &end);
    if (s.empty() || *end != '\0') return py_list(texts);
    reals += (i ? ", " : "") + py_float(v);
  }
  return reals + "]";
}

// Its own messages: a failure names the file, whatever failed.
void write_text(const std::string& path, const std::string& text) {
  AtomicFile file(path);
  std::ofstream out(file.temporary(), std::ios::binary | std::ios::trunc);
  out << text;
  out.close();  // what is still buffered is written here, and may fail
  if (!out || file.try_commit()) throw RuntimeError("cannot write '" + path + "'");
}

int convert_main(const Options& o) {
  const auto start = std::chrono::steady_clock::now();
  check_variable_name("--data-key", o.data_key);
  check_variable_name("--gt-key", o.gt_key);
  cli::check_output_folder("--out-dir", o.out_dir);  // before the image is read, not after

  std::cout << "\n  " << BOLD << "Loading image:" << RESET << " " << o.img << "\n";
  const std::string format = _detect_format(o.img);
  std::cout << "  " << GRAY << "Detected format: " << upper(format) << RESET << "\n";
  auto [data, meta] = kImageLoaders.at(format)(o.img);
  std::cout << loaded_line(data) << "\n";
  // Nothing below has a meaning for a cube without rows and columns.
  if (data.ndim() < 2 || data.numel() == 0)
    throw ValueError("The image in " + o.img + " has shape " + shape_text(data.shape) +
                     "; a cube needs at least rows and columns and one value");

  std::optional<NdArray> gt;
  std::optional<Metadata> gt_meta;
  if (o.gt) {
    std::cout << "\n  " << BOLD << "Loading ground truth:" << RESET << " " << *o.gt << "\n";
    auto loaded = _load_gt(*o.gt);
    gt = loaded.first;
    gt_meta = loaded.second;
    std::cout << loaded_line(*gt) << "\n";
    if (spatial_text(data) != spatial_text(*gt))
      std::cout << "  " << YELLOW << "\u26a0 Spatial mismatch: image=" << spatial_text(data)
                << ", gt=" << spatial_text(*gt) << RESET << "\n";
  }

  if (o.crop) {
    const auto& [y, x, h, w] = *o.crop;
    std::cout << "\n  " << BOLD << "Cropping:" << RESET << " y=" << y << " x=" << x << " h=" << h << " w=" << w
              << "\n";
    std::tie(data, gt) = _apply_crop(data, gt, *o.crop);
    meta["crop"] = json{{"y", y}, {"x", x}, {"height", h}, {"width", w}};
    std::cout << "  " << GREEN << "\u2713" << RESET << " Cropped to: " << shape_text(data.shape) << "\n";
  }

  make_dirs(o.out_dir);
  const std::string data_path = path_join(o.out_dir, "data.mat");
  std::cout << "\n  " << BOLD << "Saving:" << RESET << " " << data_path << std::endl;
  write_mat(data_path, {{o.data_key, data}});
  std::cout << "  " << GREEN << "\u2713" << RESET << " data.mat (" << file_megabytes(data_path) << " MB)\n";
  if (gt) {
    const std::string gt_path = path_join(o.out_dir, "gt.mat");
    write_mat(gt_path, {{o.gt_key, *gt}});
    std::cout << "  " << GREEN << "\u2713" << RESET << " gt.mat (" << file_megabytes(gt_path) << " MB)\n";
  }

  json doc = json::object();
  doc["image"] = meta;
  json conversion = json::object();
  conversion["output_data_key"] = o.data_key;
  conversion["output_data_shape"] = data.shape;
  conversion["output_data_dtype"] = dtype_name(data.dtype);
  if (gt) {
    conversion["output_gt_key"] = o.gt_key;
    conversion["output_gt_shape"] = gt->shape;
    conversion["output_gt_dtype"] = dtype_name(gt->dtype);
  }
  doc["conversion"] = conversion;
  if (gt && gt_meta) doc["ground_truth"] = *gt_meta;
  write_text(path_join(o.out_dir, "metadata.json"), python_json_dump(doc, 2));
  std::cout << "  " << GREEN << "\u2713" << RESET << " metadata.json\n";

  _print_summary(data, gt, meta, gt_meta, o.out_dir, seconds_since(start));
  return 0;
}

}  // namespace

std::pair<NdArray, std::optional<NdArray>> _apply_crop(const NdArray& data, const std::optional<NdArray>& gt,
                                                       const std::array<int64_t, 4>& crop) {
  const auto [y, x, h, w] = crop;
  if (data.ndim() < 2)
    throw ValueError("Cannot crop an image of shape " + shape_text(data.shape) + ": it needs rows and columns");
  const int64_t H = data.shape[0], W = data.shape[1];
  // A zero or negative size would give an empty cube (or, read as slice
  // bounds, a window counted from the far edge): refuse it.
  if (h < 1 || w < 1)
    throw ValueError(fmt::format("Crop size must be positive, got height {} and width {}", h, w));
  // Compared without forming y + h: a huge size would wrap around and pass.
  if (y < 0 || x < 0 || y > H || x > W || h > H - y || w > W - x)
    throw ValueError(fmt::format("Crop region ({}, {}, {}, {}) exceeds image bounds ({}, {})", y, x, h, w, H, W));
  std::optional<NdArray> gt_cut;
  if (gt) {
    if (gt->ndim() < 2)
      throw ValueError("Cannot crop a label map of shape " + shape_text(gt->shape) + ": it needs rows and columns");
    gt_cut = window(*gt, y, y + h, x, x + w);
  }
  return {window(data, y, y + h, x, x + w), gt_cut};
}

void _print_summary(const NdArray& data, const std::optional<NdArray>& gt, const Metadata& meta,
                    const std::optional<Metadata>& gt_meta, const std::string& out_dir, double elapsed) {
  std::ostream& out = std::cout;
  const std::string rule = rule_line();
  out << "\n" << rule << "\n";
  out << "  " << BOLD << GREEN << "Conversion complete!" << RESET << "\n";
  out << rule << "\n";
  out << "\n  " << BOLD << "Image" << RESET << "\n";
  out << "    Format       : " << source_format(meta) << "\n";
  out << "    Shape        : " << shape_text(data.shape) << "\n";
  out << "    Spatial size : " << data.shape.at(0) << " x " << data.shape.at(1) << "\n";
  if (data.ndim() == 3) out << "    Bands        : " << data.shape[2] << "\n";
  out << "    Dtype        : " << dtype_name(data.dtype) << "\n";
  const ValueRange range = value_range(data);
  out << "    Value range  : [" << general(range.min, 4) << ", " << general(range.max, 4) << "]\n";
  out << "    Size in memory: " << megabytes(static_cast<double>(nbytes(data))) << " MB\n";

  if (meta.is_object() && meta.contains("wavelength")) {
    const json& wl = meta["wavelength"];
    std::vector<std::string> texts;
    if (wl.is_array()) {
      for (const auto& v : wl) texts.push_back(text_of(v));
    } else if (wl.is_string() && !wl.get<std::string>().empty()) {
      texts.push_back(wl.get<std::string>());
    }
    if (!texts.empty()) {
      const std::vector<std::string> first(texts.begin(), texts.begin() + std::min<size_t>(5, texts.size()));
      out << "    Wavelengths  : " << wavelength_list(first);
      if (texts.size() > 5) out << " ... (" << texts.size() << " total)";
      out << "\n";
    }
  }
  if (meta.is_object() && meta.contains("crs")) {
    const std::string crs = text_of(meta["crs"]);
    if (!crs.empty() && !meta["crs"].is_null()) out << "    CRS          : " << crs << "\n";
  }

  if (gt) {
    out << "\n  " << BOLD << "Ground Truth" << RESET << "\n";
    out << "    Format       : " << (gt_meta ? source_format(*gt_meta) : "unknown") << "\n";
    out << "    Shape        : " << shape_text(gt->shape) << "\n";
    out << "    Dtype        : " << dtype_name(gt->dtype) << "\n";
    const std::vector<ValueCount> counts = value_counts(*gt);
    bool has_zero = false;
    std::string labels = "[";
    for (size_t i = 0; i < counts.size(); ++i) {
      has_zero = has_zero || counts[i].zero;
      labels += (i ? ", " : "") + counts[i].text;
    }
    labels += "]";
    if (has_zero)
      out << "    Classes      : " << counts.size() - 1 << " (+ background 0)\n";
    else
      out << "    Classes      : " << counts.size() << "\n";
    out << "    Class labels : " << labels << "\n";
    out << "\n    " << GRAY << "Per-class pixel counts:" << RESET << "\n";
    for (const auto& c : counts) {
      const std::string label = c.zero ? "background" : "class " + c.text;
      out << fmt::format("      {:<16}: {:>8} px\n", label, thousands(c.count));
    }
  }

  out << "\n  " << BOLD << "Output" << RESET << "\n";
  out << "    Directory    : " << absolute_path(out_dir) << "\n";
  out << "    data.mat     : image data (key='data')\n";
  if (gt) out << "    gt.mat       : ground truth (key='gt')\n";
  out << "    metadata.json: all preserved metadata\n";
  out << "\n    " << GRAY << fmt::format("Elapsed: {:.2f}s", elapsed) << RESET << "\n";
  out << rule << "\n\n";
  out.flush();
}

int run(int argc, char** argv) {
  prepare_process();
  Options o;
  std::string gt;
  std::vector<int64_t> crop;
  auto app = cli::make_app("Convert ENVI / TIFF / GeoTIFF / HDF5 to .mat format", "lumora convert_to_mat");
  app->add_option("--img", o.img, "Path to the image file (ENVI .hdr, .tif, .h5, etc.)")->required();
  CLI::Option* gt_opt = app->add_option("--gt", gt, "Path to ground-truth labels (optional: .mat, .png, .tif, .hdr)");
  app->add_option("--out-dir", o.out_dir, "Output directory for .mat and metadata files")->required();
  CLI::Option* crop_opt =
      app->add_option("--crop", crop, "Spatial crop: Y X Height Width (e.g. --crop 448 2560 512 512)")
          ->expected(4)
          ->type_name("Y X H W");
  app->add_option("--data-key", o.data_key, "Key name for image data in the output .mat (default: data)");
  app->add_option("--gt-key", o.gt_key, "Key name for ground truth in the output .mat (default: gt)");
  if (auto status = cli::parse(*app, argc, argv)) return *status;
  if (gt_opt->count() > 0) o.gt = gt;
  if (crop_opt->count() > 0) o.crop = std::array<int64_t, 4>{crop[0], crop[1], crop[2], crop[3]};

  return cli::guarded([&] {
    try {
      return convert_main(o);
    } catch (const MissingDependency& e) {
      std::cout << missing_dependency_text(e.name()) << std::endl;
      return 1;
    }
  });
}

}  // namespace lumora::commands::convert
