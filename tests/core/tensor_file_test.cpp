// Tensor files: what we write reads back equal (and LibTorch's own pickler's
// files still read), and damaged or hostile files fail with a reason instead
// of crashing or handing out bytes from outside the file.
#include <gtest/gtest.h>
#include <torch/serialize.h>

#include <cstring>

#include "lumora/core/errors.h"
#include "lumora/core/tensor_file.h"
#include "lumora/core/zip_archive.h"

namespace lumora {
namespace {

using namespace std::string_literals;  // pickles hold NUL bytes

c10::impl::GenericDict any_dict() { return c10::impl::GenericDict(c10::AnyType::get(), c10::AnyType::get()); }

std::string reason_of(const std::vector<char>& bytes) {
  try {
    decode_tensor_file(bytes);
  } catch (const RuntimeError& e) {
    return e.what();
  }
  return "(no error)";
}

c10::IValue sample_value() {
  auto inner = any_dict();
  inner.insert("w", torch::arange(12, torch::kFloat).reshape({3, 4}).t());  // a view: stored contiguous
  inner.insert("steps", torch::tensor(std::vector<int64_t>{int64_t{1} << 40, -7}));
  inner.insert("mask", torch::tensor({true, false, true}));
  inner.insert("half", torch::ones({2}, torch::kHalf));
  inner.insert("scalar", torch::tensor(2.5, torch::kDouble));
  inner.insert("empty", torch::zeros({0, 3}));
  c10::impl::GenericList list(c10::AnyType::get());
  list.push_back(int64_t{-1});
  list.push_back(int64_t{300});
  list.push_back(int64_t{1} << 33);
  list.push_back(std::numeric_limits<int64_t>::min());
  list.push_back(0.1);
  list.push_back(c10::IValue());
  list.push_back(true);
  list.push_back(c10::ivalue::Tuple::create({c10::IValue(std::string("t")), c10::IValue(int64_t{2})}));
  auto outer = any_dict();
  outer.insert("weights", inner);
  outer.insert("items", list);
  auto by_int = any_dict();
  by_int.insert(int64_t{3}, int64_t{1});
  by_int.insert(int64_t{1}, int64_t{2});
  outer.insert("map", by_int);
  outer.insert("name", std::string("ünïcode"));
  return outer;
}

void expect_same(const c10::IValue& a, const c10::IValue& b, const std::string& where) {
  ASSERT_EQ(std::string(a.tagKind()), std::string(b.tagKind())) << where;
  if (a.isTensor()) {
    const auto& x = a.toTensor();
    const auto& y = b.toTensor();
    EXPECT_EQ(x.scalar_type(), y.scalar_type()) << where;
    EXPECT_EQ(x.sizes(), y.sizes()) << where;
    EXPECT_TRUE(torch::equal(x, y)) << where;
  } else if (a.isGenericDict()) {
    const auto da = a.toGenericDict(), db = b.toGenericDict();
    ASSERT_EQ(da.size(), db.size()) << where;
    auto ib = db.begin();
    for (auto ia = da.begin(); ia != da.end(); ++ia, ++ib) {
      expect_same(ia->key(), ib->key(), where + " key");
      expect_same(ia->value(), ib->value(), where + "." + (ia->key().isString() ? ia->key().toStringRef() : "?"));
    }
  } else if (a.isList() || a.isTuple()) {
    const auto ea = a.isList() ? a.toListRef().vec() : a.toTupleRef().elements().vec();
    const auto eb = b.isList() ? b.toListRef().vec() : b.toTupleRef().elements().vec();
    ASSERT_EQ(ea.size(), eb.size()) << where;
    for (size_t i = 0; i < ea.size(); ++i) expect_same(ea[i], eb[i], where + "[" + std::to_string(i) + "]");
  } else {
    EXPECT_TRUE(a == b) << where;
  }
}

TEST(TensorFile, ValuesComeBackEqualInOrder) {
  const c10::IValue value = sample_value();
  expect_same(decode_tensor_file(encode_tensor_file(value)), value, "value");
}

TEST(TensorFile, RecordsAreTheOnesTorchLoadExpects) {
  const auto bytes = encode_tensor_file(sample_value());
  const ZipReader zip(bytes);
  const auto names = zip.names();
  ASSERT_GE(names.size(), 4u);
  EXPECT_EQ(names.front(), "archive/data.pkl");
  EXPECT_EQ(names[1], "archive/byteorder");
  EXPECT_EQ(names.back(), "archive/version");
  EXPECT_EQ(zip.record("archive/data/0").size(), 12 * sizeof(float));
  // Storages start on 64-byte boundaries, as torch.save lays them out.
  for (const auto& n : names) {
    if (n.rfind("archive/data/", 0) == 0) {
      EXPECT_EQ((zip.record(n).data() - bytes.data()) % 64, 0) << n;
    }
  }
  // No class of LibTorch's own pickler: weights-only loaders refuse those.
  const std::string_view pickle = zip.record("archive/data.pkl");
  EXPECT_EQ(pickle.find("torch.jit"), std::string_view::npos);
  EXPECT_EQ(pickle.find("restore_type_tag"), std::string_view::npos);
}

TEST(TensorFile, FilesOfLibTorchsOwnPicklerStillRead) {
  c10::Dict<std::string, torch::Tensor> weights;
  weights.insert("a", torch::randn({2, 3}));
  weights.insert("b", torch::arange(5));
  c10::Dict<int64_t, int64_t> classes;
  classes.insert(4, 1);
  auto outer = any_dict();
  outer.insert("weights", weights);
  outer.insert("classes", c10::List<int64_t>({4, 7}));
  outer.insert("map", classes);
  outer.insert("reals", c10::List<double>({0.5}));
  const auto legacy = torch::pickle_save(outer);
  expect_same(decode_tensor_file(std::vector<char>(legacy.begin(), legacy.end())), outer, "legacy");
}

TEST(TensorFile, EveryCutAndEveryFlippedStorageByteIsCaught) {
  auto dict = any_dict();
  dict.insert("w", torch::randn({64}));
  const auto bytes = encode_tensor_file(dict);
  for (size_t cut = 0; cut < bytes.size(); cut += 7) {
    const std::vector<char> part(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_NE(reason_of(part), "(no error)") << "cut at " << cut;
  }
  const ZipReader zip(bytes);
  const size_t at = static_cast<size_t>(zip.record("archive/data/0").data() - bytes.data());
  for (size_t i = at; i < at + 256; i += 37) {
    auto damaged = bytes;
    damaged[i] = static_cast<char>(damaged[i] ^ 0x10);
    EXPECT_EQ(reason_of(damaged), "record 'archive/data/0' is damaged (CRC-32 mismatch)");
  }
  EXPECT_EQ(reason_of({'P', 'K'}), "truncated, or not a tensor file");
}

// An archive holding a hand-written pickle and the given storage records.
std::vector<char> archive(const std::string& pickle, const std::vector<std::pair<std::string, std::string>>& records) {
  ZipWriter zip;
  zip.add("archive/data.pkl", pickle);
  for (const auto& [name, data] : records) zip.add("archive/data/" + name, data);
  return zip.finish();
}

std::string text(const std::string& s) {
  std::string out = "X";
  const uint32_t n = static_cast<uint32_t>(s.size());
  out.append(reinterpret_cast<const char*>(&n), 4);
  return out + s;
}

// A pickled tensor of `numel` float elements in storage "0", with the given
// offset, sizes and strides (each below 256).
std::string tensor_pickle(int64_t numel, int offset, std::vector<int> size, std::vector<int> stride) {
  std::string p = "ctorch._utils\n_rebuild_tensor_v2\n((" + text("storage") + "ctorch\nFloatStorage\n" + text("0") +
                  text("cpu") + "J";
  const int32_t n = static_cast<int32_t>(numel);
  p.append(reinterpret_cast<const char*>(&n), 4);
  p += "tQK";
  p += static_cast<char>(offset);
  p += "(";
  for (int s : size) p += std::string("K") + static_cast<char>(s);
  p += "t(";
  for (int s : stride) p += std::string("K") + static_cast<char>(s);
  p += "t\x89" "ccollections\nOrderedDict\n)RtR";
  return p;
}

std::string floats(size_t n) { return std::string(n * sizeof(float), '\0'); }

TEST(TensorFile, TensorsOutsideTheirStorageAreRefused) {
  const std::string head = "\x80\x02";
  // Fits exactly: 2 x 3 with strides (3, 1) over 6 elements.
  EXPECT_EQ(decode_tensor_file(archive(head + tensor_pickle(6, 0, {2, 3}, {3, 1}) + ".", {{"0", floats(6)}}))
                .toTensor()
                .sizes(),
            (std::vector<int64_t>{2, 3}));
  EXPECT_EQ(reason_of(archive(head + tensor_pickle(6, 0, {2, 3}, {4, 1}) + ".", {{"0", floats(6)}})),
            "tensor of size [2, 3] with strides [4, 1] and offset 0 extends past its storage of 6 elements "
            "(truncated or damaged)");
  EXPECT_EQ(reason_of(archive(head + tensor_pickle(6, 1, {2, 3}, {3, 1}) + ".", {{"0", floats(6)}})),
            "tensor of size [2, 3] with strides [3, 1] and offset 1 extends past its storage of 6 elements "
            "(truncated or damaged)");
  // The storage claims more elements than its record holds.
  EXPECT_EQ(reason_of(archive(head + tensor_pickle(6, 0, {2, 3}, {3, 1}) + ".", {{"0", floats(5)}})),
            "storage 'archive/data/0' holds 20 bytes, not the 6 elements of 4 bytes it claims (truncated or damaged)");
  EXPECT_EQ(reason_of(archive(head + tensor_pickle(6, 0, {2, 3}, {3, 1}) + ".", {})),
            "no record 'archive/data/0' for a tensor's storage");
  EXPECT_EQ(reason_of(archive(head + tensor_pickle(6, 0, {2, 3}, {3}) + ".", {{"0", floats(6)}})),
            "tensor of size [2, 3] has strides [3] (damaged)");
  // A negative size, written as LONG1 0xff.
  std::string negative = tensor_pickle(6, 0, {2, 3}, {3, 1});
  negative.replace(negative.find("(K\x02K\x03t"), 6, std::string("(\x8a\x01\xffK\x03t", 7));
  EXPECT_EQ(reason_of(archive(head + negative + ".", {{"0", floats(6)}})),
            "tensor of size [-1, 3] has negative sizes or strides [3, 1] (damaged)");
}

TEST(TensorFile, ObjectsAndMalformedPicklesAreRefused) {
  const std::string head = "\x80\x02";
  EXPECT_EQ(reason_of(archive(head + "cos\nsystem\n(" + text("true") + "tR.", {})),
            "holds an object of type os.system, not only tensors and plain containers");
  EXPECT_EQ(reason_of(archive(head + "}(" + text("a") + "cbuiltins\nset\nu.", {})),
            "holds an object of type builtins.set, not only tensors and plain containers");
  EXPECT_EQ(reason_of(archive(head + "}" + text("a") + ".", {})), "damaged pickle (stack not balanced at its end)");
  EXPECT_EQ(reason_of(archive(head + "h\x05.", {})), "damaged pickle (unknown memo entry)");
  EXPECT_EQ(reason_of(archive(head + "]q\x00h\x00" "a."s, {})), "damaged pickle (a container inside itself)");
  EXPECT_EQ(reason_of(archive(head + "]q\x01]q\x02h\x01" "ah\x01K\x05" "a."s, {})),
            "damaged pickle (a container changed after use)");
  EXPECT_EQ(reason_of(archive(head + std::string(5000, ']') + std::string(4999, 'a') + ".", {})),
            "damaged pickle (nested too deeply)");
  EXPECT_EQ(reason_of(archive(head + "X\xff\xff\xff\x7f" "abc", {})), "truncated pickle");
  EXPECT_EQ(reason_of(archive(head + "\x8a\x09" + std::string(9, '\x01') + ".", {})),
            "holds an integer wider than 64 bits");
  EXPECT_EQ(reason_of(archive(head + "S'a'\n.", {})), "damaged pickle (unsupported opcode 0x53)");
}

TEST(TensorFile, OrderedDictWithMetadataReadsAsAMapping) {
  // What Python's torch.save(model.state_dict()) writes, reduced to its shape.
  const std::string pickle = std::string("\x80\x02") + "ccollections\nOrderedDict\n)Rq\x00("s + text("w") +
                             tensor_pickle(2, 0, {2}, {1}) + "u}(" + text("_metadata") + "}ub.";
  const c10::IValue v = decode_tensor_file(archive(pickle, {{"0", floats(2)}}));
  ASSERT_TRUE(v.isGenericDict());
  const auto dict = v.toGenericDict();
  ASSERT_EQ(dict.size(), 1u);
  EXPECT_EQ(dict.begin()->key().toStringRef(), "w");
  EXPECT_EQ(dict.begin()->value().toTensor().numel(), 2);
}

}  // namespace
}  // namespace lumora
