#include "lumora/io/matfile.h"

#include <matio.h>

#include <cstdio>
#include <filesystem>
#include <mutex>

#include "lumora/core/errors.h"
#include "lumora/io/mat5_fast.h"

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

std::string class_name(const matvar_t* var) {
  if (var->isLogical) return "logical";
  switch (var->class_type) {
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
  const ClassInfo* info = numeric_class(var->class_type);
  std::string name = info ? info->name : "unknown";
  return var->isComplex ? "complex " + name : name;
}

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

}  // namespace

MatFile::MatFile(std::string path) : path_(std::move(path)) {
  install_matio_log();
  if (!std::filesystem::exists(path_)) throw FileNotFoundError("No such file: '" + path_ + "'");
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
  if (Mat_GetVersion(handle(mat_)) == MAT_FT_MAT5) {
    if (auto fast = read_mat5_compressed(path_, name)) return *fast;
  }
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

std::vector<std::pair<std::string, NdArray>> read_mat(const std::string& path) {
  MatFile file(path);
  std::vector<std::pair<std::string, NdArray>> out;
  for (const auto& v : file.variables())
    if (v.numeric) out.emplace_back(v.name, file.load(v.name));
  return out;
}

void write_mat(const std::string& path, const std::vector<std::pair<std::string, NdArray>>& variables) {
  const std::string tmp = path + ".part";
  std::remove(tmp.c_str());
  std::FILE* out = std::fopen(tmp.c_str(), "wb");
  if (!out) throw RuntimeError("cannot create MAT-file '" + path + "'");
  try {
    write_mat5_header(out, path);
    for (const auto& [name, array] : variables) write_mat5_compressed(out, path, name, array);
  } catch (const std::exception& e) {
    std::fclose(out);
    std::remove(tmp.c_str());
    throw RuntimeError(e.what());
  }
  if (std::fclose(out) != 0) {
    std::remove(tmp.c_str());
    throw RuntimeError("cannot write '" + path + "'");
  }
  std::error_code ec;
  std::filesystem::rename(tmp, path, ec);
  if (ec) {
    std::remove(tmp.c_str());
    throw RuntimeError("cannot write '" + path + "': " + ec.message());
  }
}

}  // namespace lumora
