// HDF5 (and NetCDF-4) reading on the HDF5 C library.
#include "lumora/config.h"

#if LUMORA_HAVE_HDF5

#include <hdf5.h>

#include <cstring>
#include <optional>
#include <vector>

#include "lumora/convert/array_ops.h"
#include "lumora/convert/readers.h"
#include "lumora/core/errors.h"
#include "lumora/core/format.h"
#include "lumora/core/paths.h"

namespace lumora::convert::detail {
namespace {

using json = nlohmann::ordered_json;

// An HDF5 identifier closed when it goes out of scope.
class Id {
 public:
  explicit Id(hid_t id = H5I_INVALID_HID) : id_(id) {}
  ~Id() {
    if (id_ >= 0) H5Idec_ref(id_);
  }
  Id(Id&& other) noexcept : id_(other.id_) { other.id_ = H5I_INVALID_HID; }
  Id(const Id&) = delete;
  Id& operator=(const Id&) = delete;
  hid_t get() const { return id_; }
  bool valid() const { return id_ >= 0; }

 private:
  hid_t id_;
};

// The library's error stack printing is switched off while we read, so
// failures reach the user once, as our errors.
class QuietErrors {
 public:
  QuietErrors() {
    H5Eget_auto2(H5E_DEFAULT, &func_, &data_);
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  }
  ~QuietErrors() { H5Eset_auto2(H5E_DEFAULT, func_, data_); }
  QuietErrors(const QuietErrors&) = delete;
  QuietErrors& operator=(const QuietErrors&) = delete;

 private:
  H5E_auto2_t func_ = nullptr;
  void* data_ = nullptr;
};

std::vector<int64_t> space_shape(hid_t space) {
  std::vector<int64_t> shape;
  if (H5Sget_simple_extent_type(space) != H5S_SIMPLE) return shape;
  const int rank = H5Sget_simple_extent_ndims(space);
  std::vector<hsize_t> dims(static_cast<size_t>(std::max(rank, 0)));
  H5Sget_simple_extent_dims(space, dims.data(), nullptr);
  for (auto d : dims) shape.push_back(static_cast<int64_t>(d));
  return shape;
}

// An enum of FALSE/TRUE over a one-byte integer is how numpy booleans are stored.
bool is_boolean_enum(hid_t type) {
  if (H5Tget_nmembers(type) != 2) return false;
  char* a = H5Tget_member_name(type, 0);
  char* b = H5Tget_member_name(type, 1);
  const bool yes = a && b && std::strcmp(a, "FALSE") == 0 && std::strcmp(b, "TRUE") == 0;
  H5free_memory(a);
  H5free_memory(b);
  return yes;
}

// The element type numpy would give a numeric HDF5 type; none for others.
std::optional<DType> numeric_dtype(hid_t type) {
  const H5T_class_t cls = H5Tget_class(type);
  const size_t size = H5Tget_size(type);
  if (cls == H5T_ENUM) {
    if (is_boolean_enum(type)) return DType::Bool;
    Id base(H5Tget_super(type));
    return numeric_dtype(base.get());
  }
  if (cls == H5T_INTEGER) {
    const bool sign = H5Tget_sign(type) == H5T_SGN_2;
    switch (size) {
      case 1: return sign ? DType::Int8 : DType::UInt8;
      case 2: return sign ? DType::Int16 : DType::UInt16;
      case 4: return sign ? DType::Int32 : DType::UInt32;
      case 8: return sign ? DType::Int64 : DType::UInt64;
      default: return std::nullopt;
    }
  }
  if (cls == H5T_FLOAT) {
    if (size == 4) return DType::Float32;
    if (size == 8) return DType::Float64;
  }
  return std::nullopt;
}

hid_t memory_type(DType dtype) {
  switch (dtype) {
    case DType::Float64: return H5T_NATIVE_DOUBLE;
    case DType::Float32: return H5T_NATIVE_FLOAT;
    case DType::Int8: return H5T_NATIVE_INT8;
    case DType::UInt8: return H5T_NATIVE_UINT8;
    case DType::Int16: return H5T_NATIVE_INT16;
    case DType::UInt16: return H5T_NATIVE_UINT16;
    case DType::Int32: return H5T_NATIVE_INT32;
    case DType::UInt32: return H5T_NATIVE_UINT32;
    case DType::Int64: return H5T_NATIVE_INT64;
    case DType::UInt64: return H5T_NATIVE_UINT64;
    case DType::Bool: return H5T_NATIVE_UINT8;
  }
  return H5T_NATIVE_UINT8;
}

// The memory type to read a numeric file type into: the native integer or
// float type, or for an enum its native enum type (HDF5 converts enums only
// to enums; the bytes are the base integer values either way).
Id read_type(hid_t file_type, DType dtype) {
  if (H5Tget_class(file_type) == H5T_ENUM) return Id(H5Tget_native_type(file_type, H5T_DIR_ASCEND));
  return Id(H5Tcopy(memory_type(dtype)));
}

std::string class_name(H5T_class_t cls) {
  switch (cls) {
    case H5T_INTEGER: return "integer";
    case H5T_FLOAT: return "floating-point";
    case H5T_TIME: return "time";
    case H5T_STRING: return "string";
    case H5T_BITFIELD: return "bitfield";
    case H5T_OPAQUE: return "opaque";
    case H5T_COMPOUND: return "compound";
    case H5T_REFERENCE: return "reference";
    case H5T_ENUM: return "enum";
    case H5T_VLEN: return "variable-length";
    case H5T_ARRAY: return "array";
    default: return "unknown";
  }
}

void reclaim(hid_t type, hid_t space, void* buf) {
#if H5_VERSION_GE(1, 12, 0)
  H5Treclaim(type, space, H5P_DEFAULT, buf);
#else
  H5Dvlen_reclaim(type, space, H5P_DEFAULT, buf);
#endif
}

// One element of a (memory-typed) buffer as an attribute value.
AttrValue element_value(hid_t type, const char* p) {
  AttrValue v;
  const H5T_class_t cls = H5Tget_class(type);
  if (auto dtype = numeric_dtype(type)) {
    v.kind = AttrValue::Kind::Numeric;
    v.numeric = NdArray::zeros(*dtype, {});
    std::memcpy(v.numeric.data, p, dtype_size(*dtype));
    return v;
  }
  switch (cls) {
    case H5T_STRING: {
      if (H5Tis_variable_str(type) > 0) {
        const char* s = *reinterpret_cast<const char* const*>(p);
        v.kind = AttrValue::Kind::Text;
        v.text = s ? s : "";
      } else {
        // A fixed-length string comes back as bytes without its padding NULs.
        std::string s(p, H5Tget_size(type));
        while (!s.empty() && s.back() == '\0') s.pop_back();
        v.kind = AttrValue::Kind::Bytes;
        v.text = s;
      }
      return v;
    }
    case H5T_REFERENCE:
      v.kind = AttrValue::Kind::Other;
      v.text = H5Tequal(type, H5T_STD_REF_DSETREG) > 0 ? "<HDF5 region reference>" : "<HDF5 object reference>";
      return v;
    case H5T_COMPOUND: {
      const int n = H5Tget_nmembers(type);
      v.kind = AttrValue::Kind::List;
      v.shape = {n};
      for (int i = 0; i < n; ++i) {
        Id member(H5Tget_member_type(type, static_cast<unsigned>(i)));
        v.items.push_back(element_value(member.get(), p + H5Tget_member_offset(type, static_cast<unsigned>(i))));
      }
      return v;
    }
    case H5T_ARRAY: {
      Id base(H5Tget_super(type));
      const int rank = H5Tget_array_ndims(type);
      std::vector<hsize_t> dims(static_cast<size_t>(std::max(rank, 0)));
      H5Tget_array_dims2(type, dims.data());
      v.kind = AttrValue::Kind::List;
      int64_t n = 1;
      for (auto d : dims) {
        v.shape.push_back(static_cast<int64_t>(d));
        n *= static_cast<int64_t>(d);
      }
      const size_t step = H5Tget_size(base.get());
      for (int64_t i = 0; i < n; ++i) v.items.push_back(element_value(base.get(), p + i * step));
      return v;
    }
    case H5T_VLEN: {
      Id base(H5Tget_super(type));
      const hvl_t* seq = reinterpret_cast<const hvl_t*>(p);
      const size_t step = H5Tget_size(base.get());
      v.kind = AttrValue::Kind::List;
      v.shape = {static_cast<int64_t>(seq->len)};
      for (size_t i = 0; i < seq->len; ++i)
        v.items.push_back(element_value(base.get(), static_cast<const char*>(seq->p) + i * step));
      return v;
    }
    default:
      v.kind = AttrValue::Kind::Other;
      v.text = "<HDF5 " + class_name(cls) + " value>";
      return v;
  }
}

AttrValue read_attribute(hid_t attr) {
  Id space(H5Aget_space(attr));
  Id file_type(H5Aget_type(attr));
  AttrValue v;
  if (H5Sget_simple_extent_type(space.get()) == H5S_NULL) {
    v.kind = AttrValue::Kind::Empty;
    return v;
  }
  const bool scalar = H5Sget_simple_extent_type(space.get()) == H5S_SCALAR;
  const std::vector<int64_t> shape = space_shape(space.get());
  const int64_t n = static_cast<int64_t>(H5Sget_simple_extent_npoints(space.get()));

  if (auto dtype = numeric_dtype(file_type.get())) {
    v.kind = AttrValue::Kind::Numeric;
    v.numeric = NdArray::zeros(*dtype, scalar ? std::vector<int64_t>{} : shape);
    Id mem(read_type(file_type.get(), *dtype));
    if (n > 0 && H5Aread(attr, mem.get(), v.numeric.data) < 0)
      throw RuntimeError("cannot read an HDF5 attribute");
    return v;
  }
  if (H5Tget_class(file_type.get()) == H5T_FLOAT) {  // unusual widths: as float64
    v.kind = AttrValue::Kind::Numeric;
    v.numeric = NdArray::zeros(DType::Float64, scalar ? std::vector<int64_t>{} : shape);
    if (n > 0 && H5Aread(attr, H5T_NATIVE_DOUBLE, v.numeric.data) < 0)
      throw RuntimeError("cannot read an HDF5 attribute");
    return v;
  }
  Id mem_type(H5Tget_native_type(file_type.get(), H5T_DIR_ASCEND));
  if (!mem_type.valid()) {
    v.kind = AttrValue::Kind::Other;
    v.text = "<HDF5 " + class_name(H5Tget_class(file_type.get())) + " value>";
    return v;
  }
  const size_t step = H5Tget_size(mem_type.get());
  std::vector<char> buf(static_cast<size_t>(std::max<int64_t>(n, 1)) * step, 0);
  if (n > 0 && H5Aread(attr, mem_type.get(), buf.data()) < 0) throw RuntimeError("cannot read an HDF5 attribute");
  std::vector<AttrValue> items;
  for (int64_t i = 0; i < n; ++i) items.push_back(element_value(mem_type.get(), buf.data() + i * step));
  if (n > 0) reclaim(mem_type.get(), space.get(), buf.data());
  if (scalar && items.size() == 1) return items[0];
  v.kind = AttrValue::Kind::List;
  v.shape = shape;
  v.items = std::move(items);
  return v;
}

struct AttrWalk {
  json* out;
  std::string error;
};

herr_t attribute_cb(hid_t loc, const char* name, const H5A_info_t* /*info*/, void* data) {
  auto* walk = static_cast<AttrWalk*>(data);
  try {
    Id attr(H5Aopen(loc, name, H5P_DEFAULT));
    if (!attr.valid()) throw RuntimeError(std::string("cannot open attribute '") + name + "'");
    (*walk->out)[name] = _json_safe(read_attribute(attr.get()));
  } catch (const std::exception& e) {
    walk->error = e.what();
    return -1;
  }
  return 0;
}

// The attributes of an object in h5py's order: creation order where the
// file tracks it, else by name.
json attributes(hid_t obj, hid_t create_plist) {
  unsigned flags = 0;
  H5_index_t index = H5_INDEX_NAME;
  if (create_plist >= 0 && H5Pget_attr_creation_order(create_plist, &flags) >= 0 && (flags & H5P_CRT_ORDER_TRACKED))
    index = H5_INDEX_CRT_ORDER;
  json out = json::object();
  AttrWalk walk{&out, ""};
  hsize_t pos = 0;
  if (H5Aiterate2(obj, index, H5_ITER_INC, &pos, attribute_cb, &walk) < 0)
    throw RuntimeError("cannot read the attributes" + (walk.error.empty() ? "" : ": " + walk.error));
  return out;
}

struct DatasetEntry {
  std::string name;
  std::vector<int64_t> shape;
  int64_t numel() const {
    int64_t n = 1;
    for (auto d : shape) n *= d;
    return n;
  }
};

struct Walk {
  std::vector<DatasetEntry> datasets;
};

#if H5_VERSION_GE(1, 12, 0)
using ObjectInfo = H5O_info2_t;
#else
using ObjectInfo = H5O_info_t;
#endif

herr_t visit_cb(hid_t obj, const char* name, const ObjectInfo* info, void* data) {
  if (info->type != H5O_TYPE_DATASET || std::strcmp(name, ".") == 0) return 0;
  Id ds(H5Dopen2(obj, name, H5P_DEFAULT));
  if (!ds.valid()) return 0;
  Id space(H5Dget_space(ds.get()));
  static_cast<Walk*>(data)->datasets.push_back({name, space_shape(space.get())});
  return 0;
}

herr_t visit_all(hid_t file, Walk& walk) {
#if H5_VERSION_GE(1, 12, 0)
  return H5Ovisit3(file, H5_INDEX_NAME, H5_ITER_INC, visit_cb, &walk, H5O_INFO_BASIC);
#elif H5_VERSION_GE(1, 10, 3)
  return H5Ovisit2(file, H5_INDEX_NAME, H5_ITER_INC, visit_cb, &walk, H5O_INFO_BASIC);
#else
  return H5Ovisit(file, H5_INDEX_NAME, H5_ITER_INC, visit_cb, &walk);
#endif
}

// Whether `key` names an object, checking each link along the path.
bool object_exists(hid_t file, const std::string& key) {
  std::string prefix;
  size_t start = 0;
  bool any = false;
  while (start <= key.size()) {
    const auto slash = key.find('/', start);
    const std::string part = key.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (!part.empty()) {
      prefix += (prefix.empty() ? "" : "/") + part;
      if (H5Lexists(file, prefix.c_str(), H5P_DEFAULT) <= 0) return false;
      if (H5Oexists_by_name(file, prefix.c_str(), H5P_DEFAULT) <= 0) return false;
      any = true;
    }
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return any;
}

NdArray read_dataset(hid_t ds, const std::string& name, const std::string& path) {
  Id type(H5Dget_type(ds));
  Id space(H5Dget_space(ds));
  const auto dtype = numeric_dtype(type.get());
  if (!dtype) {
    const H5T_class_t cls = H5Tget_class(type.get());
    std::string what = class_name(cls);
    if (cls == H5T_FLOAT) what = std::to_string(8 * H5Tget_size(type.get())) + "-bit floating-point";
    throw ValueError("Dataset '" + name + "' in " + path + " holds " + what +
                     " values; only integer, float32, float64 and boolean datasets can be converted");
  }
  NdArray a = NdArray::zeros(*dtype, space_shape(space.get()));
  Id mem(read_type(type.get(), *dtype));
  if (a.numel() > 0 && H5Dread(ds, mem.get(), H5S_ALL, H5S_ALL, H5P_DEFAULT, a.data) < 0)
    throw RuntimeError("cannot read dataset '" + name + "' of " + path);
  return a;
}

}  // namespace

Loaded hdf5_load(const std::string& given_path) {
  const auto [path, key] = split_dataset_specifier(given_path);

  QuietErrors quiet;
  if (!file_exists(path)) throw FileNotFoundError("No such file: '" + path + "'");
  if (H5Fis_hdf5(path.c_str()) <= 0) throw RuntimeError("'" + path + "' is not an HDF5 file");
  Id file(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
  if (!file.valid()) throw RuntimeError("cannot open HDF5 file '" + path + "'");

  json meta = json::object();
  Walk walk;
  if (visit_all(file.get(), walk) < 0) throw RuntimeError("cannot walk the objects of HDF5 file '" + path + "'");
  json available = json::object();
  for (const auto& d : walk.datasets) available[d.name] = d.shape;
  meta["available_datasets"] = available;

  std::string chosen;
  if (key) {
    if (!object_exists(file.get(), *key)) {
      std::vector<std::string> names;
      for (const auto& d : walk.datasets) names.push_back(d.name);
      throw KeyError("Dataset '" + *key + "' not found in " + path + ".\nAvailable datasets: " + py_list(names));
    }
    chosen = *key;
  } else {
    if (walk.datasets.empty()) throw ValueError("No datasets found in " + path);
    const DatasetEntry* best = &walk.datasets[0];
    for (const auto& d : walk.datasets)
      if (d.numel() > best->numel()) best = &d;
    chosen = best->name;
  }

  Id obj(H5Oopen(file.get(), chosen.c_str(), H5P_DEFAULT));
  if (!obj.valid() || H5Iget_type(obj.get()) != H5I_DATASET)
    throw ValueError("'" + chosen + "' in " + path + " is not a dataset");
  Id ds(H5Dopen2(file.get(), chosen.c_str(), H5P_DEFAULT));
  NdArray data = read_dataset(ds.get(), chosen, path);
  meta["dataset_used"] = chosen;

  Id ds_plist(H5Dget_create_plist(ds.get()));
  json ds_attrs = attributes(ds.get(), ds_plist.get());
  if (!ds_attrs.empty()) meta["dataset_attrs"] = ds_attrs;
  Id root(H5Gopen2(file.get(), "/", H5P_DEFAULT));
  Id root_plist(H5Gget_create_plist(root.get()));
  json file_attrs = attributes(root.get(), root_plist.get());
  if (!file_attrs.empty()) meta["file_attrs"] = file_attrs;

  if (data.ndim() == 3 && data.shape[0] < data.shape[1] && data.shape[0] < data.shape[2]) {
    data = transpose(data, {1, 2, 0});
    meta["_transposed"] = "CHW \u2192 HWC";
  }
  meta["_source_format"] = "HDF5";
  meta["_source_file"] = absolute_path(path);
  return {data, meta};
}

}  // namespace lumora::convert::detail

#endif  // LUMORA_HAVE_HDF5
