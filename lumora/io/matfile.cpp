#include "lumora/io/matfile.h"

#include <matio.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "lumora/core/atomic_file.h"
#include "lumora/core/errors.h"
#include "lumora/core/format.h"
#include "lumora/io/mat5_fast.h"
#include "lumora/io/mat5_reader.h"

namespace lumora {
namespace {

// matio reports problems through a log callback; keep the last message so
// that our own errors can carry it instead of matio printing to stderr.
thread_local std::string g_last_matio_message;

void matio_log(int /*level*/, char* message) {
  if (message) g_last_matio_message = message;
}

void install_matio_log() {
  static std::once_flag once;
  std::call_once(once, [] { Mat_LogInitFunc("lumora", matio_log); });
}

std::string matio_detail() {
  std::string m = g_last_matio_message;
  g_last_matio_message.clear();
  return m.empty() ? "" : ": " + m;
}

struct ClassInfo {
  matio_classes mat;
  DType dtype;
  const char* name;
};

const ClassInfo kNumericClasses[] = {
    {MAT_C_DOUBLE, DType::Float64, "double"}, {MAT_C_SINGLE, DType::Float32, "single"},
    {MAT_C_INT8, DType::Int8, "int8"},        {MAT_C_UINT8, DType::UInt8, "uint8"},
    {MAT_C_INT16, DType::Int16, "int16"},     {MAT_C_UINT16, DType::UInt16, "uint16"},
    {MAT_C_INT32, DType::Int32, "int32"},     {MAT_C_UINT32, DType::UInt32, "uint32"},
    {MAT_C_INT64, DType::Int64, "int64"},     {MAT_C_UINT64, DType::UInt64, "uint64"},
};

const ClassInfo* numeric_class(matio_classes c) {
  for (const auto& info : kNumericClasses)
    if (info.mat == c) return &info;
  return nullptr;
}

std::string class_name(matio_classes cls, bool logical, bool complex) {
  if (logical) return "logical";
  switch (cls) {
    case MAT_C_CELL: return "cell";
    case MAT_C_STRUCT: return "struct";
    case MAT_C_CHAR: return "char";
    case MAT_C_SPARSE: return "sparse";
    case MAT_C_FUNCTION: return "function_handle";
    case MAT_C_OBJECT: return "object";
    case MAT_C_OPAQUE: return "opaque";
    case MAT_C_EMPTY: return "empty";
    default: break;
  }
  const ClassInfo* info = numeric_class(cls);
  std::string name = info ? info->name : "unknown";
  return complex ? "complex " + name : name;
}

std::string class_name(const matvar_t* var) { return class_name(var->class_type, var->isLogical, var->isComplex); }

bool is_numeric(const matvar_t* var) {
  return !var->isComplex && numeric_class(var->class_type) != nullptr;
}

DType element_type(const matvar_t* var) {
  if (var->isLogical) return DType::Bool;
  return numeric_class(var->class_type)->dtype;
}

struct VarDeleter {
  void operator()(matvar_t* v) const { Mat_VarFree(v); }
};
using VarPtr = std::unique_ptr<matvar_t, VarDeleter>;

mat_t* handle(void* p) { return static_cast<mat_t*>(p); }

enum class Format { Level5, V73, Other };

Format sniff(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw RuntimeError("cannot read MAT-file '" + path + "'");
  uint8_t h[128] = {};
  in.read(reinterpret_cast<char*>(h), 128);
  const size_t n = static_cast<size_t>(in.gcount());
  if (mat5::is_level5(h, n)) return Format::Level5;
  const bool v73 = n == 128 && ((h[126] == 'I' && h[127] == 'M' && h[124] == 0 && h[125] == 2) ||
                                (h[126] == 'M' && h[127] == 'I' && h[124] == 2 && h[125] == 0));
  return v73 ? Format::V73 : Format::Other;
}

// A v4 file is a sequence of records: a 20-byte header (type, rows,
// columns, imaginary flag, name length), the name, then the values. matio
// allocates whatever a header states (a name length of 2^31 costs it 2 GB
// and seconds), so every record is checked against the file's size first.
void check_level4(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::error_code ec;
  const uint64_t size = std::filesystem::file_size(path, ec);
  if (!in || ec) throw RuntimeError("cannot read MAT-file '" + path + "'");
  const std::string not_mat = "cannot read MAT-file '" + path + "': it is not a MAT-file (Level 5, v7.3 or v4)";
  uint64_t pos = 0;
  for (int index = 0; pos < size; ++index) {
    const std::string at = "the variable at byte " + std::to_string(pos) + " of '" + path + "'";
    if (size - pos < 20) {
      if (index == 0) throw RuntimeError(not_mat);
      throw RuntimeError(at + " is truncated: the file ends within its header");
    }
    uint32_t f[5];
    in.seekg(static_cast<std::streamoff>(pos));
    if (!in.read(reinterpret_cast<char*>(f), 20)) throw RuntimeError("cannot read MAT-file '" + path + "'");
    // Type MOPT: M the byte order (0 little-, 1 big-endian), O zero, P the
    // element type (0..5), T numeric, text or sparse (0..2).
    auto valid = [](uint32_t t, uint32_t m) { return t < 5000 && t / 1000 == m && t % 1000 / 100 == 0 && t % 100 / 10 <= 5 && t % 10 <= 2; };
    bool swap = false;
    if (!valid(f[0], 0)) {
      swap = true;
      if (!valid(__builtin_bswap32(f[0]), 1)) {
        if (index == 0) throw RuntimeError(not_mat);
        throw RuntimeError(at + " is corrupt: its header is not a v4 variable header");
      }
    }
    if (swap)
      for (auto& v : f) v = __builtin_bswap32(v);
    const int32_t rows = static_cast<int32_t>(f[1]), cols = static_cast<int32_t>(f[2]);
    const uint32_t imag = f[3], name_len = f[4];
    if (name_len < 1 || name_len > mat5::kMaxNameBytes || imag > 1) {
      if (index == 0) throw RuntimeError(not_mat);
      throw RuntimeError(at + " is corrupt: its header states a name of " + std::to_string(name_len) + " bytes");
    }
    std::string name(std::min<uint64_t>(name_len, size - pos - 20), '\0');
    in.read(name.data(), static_cast<std::streamsize>(name.size()));
    name = name.c_str();
    const std::string subject = name.empty() ? at : "variable '" + name + "' in '" + path + "'";
    if (rows < 0 || cols < 0)
      throw RuntimeError(subject + " is corrupt: it has a negative dimension (" + std::to_string(rows) + " x " +
                         std::to_string(cols) + ")");
    static const uint64_t kWidth[6] = {8, 4, 4, 2, 2, 1};
    const uint64_t values = static_cast<uint64_t>(rows) * static_cast<uint64_t>(cols);
    // Below 2^62 * 8 * 2: counted in 128 bits.
    const unsigned __int128 need =
        static_cast<unsigned __int128>(values) * kWidth[f[0] % 100 / 10] * (imag + 1) + 20 + name_len;
    if (need > size - pos)
      throw RuntimeError(subject + " is truncated: its record needs " +
                         (need >> 62 ? std::string("more than 2^62") : thousands(static_cast<int64_t>(need))) +
                         " bytes but the file ends after " + thousands(static_cast<int64_t>(size - pos)));
    pos += static_cast<uint64_t>(need);
  }
}

// The values a matio variable states must fit in what the file could
// inflate to, before matio allocates them.
void check_fits(const MatVariableInfo& meta, const std::string& path) {
  const std::string subject = "variable '" + meta.name + "' in '" + path + "'";
  std::string dims;
  for (size_t i = 0; i < meta.dims.size(); ++i) dims += (i ? " x " : "") + std::to_string(meta.dims[i]);
  int64_t count = 1, extent = 1;  // extent: as strides count them, empty axes as 1
  for (int64_t d : meta.dims) {
    if (d < 0 || __builtin_mul_overflow(count, d, &count))
      throw RuntimeError(subject + " is corrupt: its dimensions " + dims + " hold more values than can be counted");
    if (__builtin_mul_overflow(extent, std::max<int64_t>(d, 1), &extent))
      throw RuntimeError(subject + " is corrupt: its dimensions " + dims +
                         " are too large to address, even with no values");
  }
  std::error_code ec;
  const uint64_t size = std::filesystem::file_size(path, ec);
  const uint64_t bytes = static_cast<uint64_t>(count) * 8;  // the widest class
  if (!ec && bytes / 8 == static_cast<uint64_t>(count) && bytes > mat5::max_inflated_size(size))
    throw RuntimeError(subject + " is corrupt: its dimensions " + dims + " need more bytes than the file's " +
                       thousands(static_cast<int64_t>(size)) + " can hold");
}

}  // namespace

MatFile::MatFile(std::string path) : path_(std::move(path)) {
  install_matio_log();
  if (!std::filesystem::exists(path_)) throw FileNotFoundError("No such file: '" + path_ + "'");
  const Format format = sniff(path_);
  if (format == Format::Level5) {
    level5_ = std::make_unique<mat5::File>(path_);
    for (const auto& e : level5_->entries()) {
      MatVariableInfo info;
      info.name = e.name;
      // matio's class codes are MATLAB's; beyond them only "unknown".
      info.mat_class = e.array_class <= MAT_C_OPAQUE
                           ? class_name(static_cast<matio_classes>(e.array_class), e.logical, e.complex)
                           : (e.logical ? "logical" : "unknown");
      info.numeric = e.numeric();
      info.dims = e.dims;
      variables_.push_back(std::move(info));
    }
    return;
  }
  if (format == Format::Other) check_level4(path_);
  mat_ = Mat_Open(path_.c_str(), MAT_ACC_RDONLY);
  if (!mat_) throw RuntimeError("cannot read MAT-file '" + path_ + "'" + matio_detail());
  while (VarPtr var{Mat_VarReadNextInfo(handle(mat_))}) {
    MatVariableInfo info;
    info.name = var->name ? var->name : "";
    info.mat_class = class_name(var.get());
    info.numeric = is_numeric(var.get());
    for (int i = 0; i < var->rank; ++i) info.dims.push_back(static_cast<int64_t>(var->dims[i]));
    variables_.push_back(std::move(info));
  }
}

MatFile::~MatFile() {
  if (mat_) Mat_Close(handle(mat_));
}

bool MatFile::has(const std::string& name) const {
  for (const auto& v : variables_)
    if (v.name == name) return true;
  return false;
}

const MatVariableInfo& MatFile::info(const std::string& name) const {
  for (const auto& v : variables_)
    if (v.name == name) return v;
  throw KeyError("variable '" + name + "' not found in '" + path_ + "'");
}

NdArray MatFile::load(const std::string& name, const std::string& use) const {
  const MatVariableInfo& meta = info(name);
  if (!meta.numeric)
    throw TypeError("variable '" + name + "' in '" + path_ + "' is of class " + meta.mat_class +
                    " and cannot be used as a " + use);
  if (level5_) {
    for (const auto& e : level5_->entries())
      if (e.name == name) return level5_->load(e);
  }
  check_fits(meta, path_);
  VarPtr var{Mat_VarRead(handle(mat_), name.c_str())};
  if (!var || (var->nbytes > 0 && !var->data))
    throw RuntimeError("cannot read variable '" + name + "' from '" + path_ + "'" + matio_detail());

  NdArray a;
  a.dtype = element_type(var.get());
  for (int i = 0; i < var->rank; ++i) a.shape.push_back(static_cast<int64_t>(var->dims[i]));
  // MATLAB stores column-major: the first index moves fastest.
  a.strides.assign(a.shape.size(), 1);
  for (size_t i = 1; i < a.shape.size(); ++i) a.strides[i] = a.strides[i - 1] * std::max<int64_t>(a.shape[i - 1], 1);
  a.data = var->data;
  std::shared_ptr<matvar_t> owner(var.release(), VarDeleter{});
  a.owner = owner;
  if (!a.data) a = NdArray::zeros(a.dtype, a.shape);  // empty variable
  return a;
}

void MatFile::stream(const std::string& name, const std::string& use, int64_t piece_values,
                     const std::function<void(const NdArray&)>& sink) const {
  if (level5_ && info(name).numeric) {
    for (const auto& e : level5_->entries())
      if (e.name == name) return level5_->stream(e, piece_values, sink);
  }
  const NdArray whole = load(name, use);
  NdArray flat = whole;  // load() lays values out column-major, which is storage order
  flat.shape = {whole.numel()};
  flat.strides = {1};
  sink(flat);
}

void write_mat(const std::string& path, const std::vector<std::pair<std::string, NdArray>>& variables) {
  AtomicFile file(path);
  std::FILE* out = std::fopen(file.temporary().c_str(), "wb");
  if (!out) throw RuntimeError("cannot create MAT-file '" + path + "'");
  try {
    write_mat5_header(out, path);
    for (const auto& [name, array] : variables) write_mat5_compressed(out, path, name, array);
  } catch (const std::exception& e) {
    std::fclose(out);
    throw RuntimeError(e.what());
  }
  if (std::fclose(out) != 0) throw RuntimeError("cannot write '" + path + "'");
  file.commit();
}

}  // namespace lumora
