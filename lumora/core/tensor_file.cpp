#include "lumora/core/tensor_file.h"

#include <ATen/ATen.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

#include "lumora/core/errors.h"
#include "lumora/core/zip_archive.h"

namespace lumora {
namespace {

// Storage class names of the pickle format, and their element types.
const std::vector<std::pair<std::string, at::ScalarType>> kStorageTypes = {
    {"FloatStorage", at::kFloat}, {"DoubleStorage", at::kDouble}, {"HalfStorage", at::kHalf},
    {"BFloat16Storage", at::kBFloat16}, {"LongStorage", at::kLong}, {"IntStorage", at::kInt},
    {"ShortStorage", at::kShort}, {"CharStorage", at::kChar}, {"ByteStorage", at::kByte},
    {"BoolStorage", at::kBool}};

[[noreturn]] void fail(const std::string& reason) { throw RuntimeError(reason); }

// ---------------------------------------------------------------- writing

// Writes the pickle and collects the tensors' storages, which go into the
// archive after it (the order torch.save uses).
class Pickler {
 public:
  std::string run(const c10::IValue& value) {
    out_ = "\x80\x02";  // PROTO 2
    push(value);
    out_ += '.';  // STOP
    return std::move(out_);
  }

 private:
  void op(char c) { out_ += c; }
  void raw(const void* p, size_t n) { out_.append(static_cast<const char*>(p), n); }
  void u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) out_ += static_cast<char>((v >> (8 * i)) & 0xFF);
  }

  void global(const char* module, const char* name) {
    op('c');
    out_ += module;
    out_ += '\n';
    out_ += name;
    out_ += '\n';
  }

  void text(const std::string& s) {
    if (s.size() > UINT32_MAX) fail("text too long to store");
    op('X');
    u32(static_cast<uint32_t>(s.size()));
    out_ += s;
  }

  void integer(int64_t v) {
    if (v >= 0 && v < 256) {
      op('K');
      out_ += static_cast<char>(v);
    } else if (v >= INT32_MIN && v <= INT32_MAX) {
      op('J');
      u32(static_cast<uint32_t>(static_cast<int32_t>(v)));
    } else {
      op('\x8a');  // LONG1: 8 bytes, two's complement
      out_ += '\x08';
      for (int i = 0; i < 8; ++i) out_ += static_cast<char>((static_cast<uint64_t>(v) >> (8 * i)) & 0xFF);
    }
  }

  void real(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    op('G');
    for (int i = 7; i >= 0; --i) out_ += static_cast<char>((bits >> (8 * i)) & 0xFF);
  }

  void int_tuple(at::IntArrayRef values) {
    op('(');
    for (int64_t v : values) integer(v);
    op('t');
  }

  static const char* storage_name(at::ScalarType type) {
    for (const auto& [name, t] : kStorageTypes)
      if (t == type) return name.c_str();
    fail(std::string("tensors of type ") + c10::toString(type) + " cannot be stored");
  }

  // torch._utils._rebuild_tensor_v2(storage, offset, size, stride,
  // requires_grad, OrderedDict()) with the storage as a persistent id, the
  // way torch.save writes a tensor.
  void tensor(const at::Tensor& t) {
    const at::Tensor data = t.detach().to(at::kCPU).contiguous();
    const std::string key = std::to_string(storages_.size());
    storages_.push_back(data);
    global("torch._utils", "_rebuild_tensor_v2");
    op('(');
    op('(');
    text("storage");
    global("torch", storage_name(data.scalar_type()));
    text(key);
    text("cpu");
    integer(data.numel());
    op('t');
    op('Q');  // BINPERSID
    integer(0);
    int_tuple(data.sizes());
    int_tuple(data.strides());
    op('\x89');  // requires_grad False
    global("collections", "OrderedDict");
    op(')');
    op('R');
    op('t');
    op('R');
  }

  void push(const c10::IValue& v) {
    if (v.isNone()) {
      op('N');
    } else if (v.isBool()) {
      op(v.toBool() ? '\x88' : '\x89');
    } else if (v.isInt()) {
      integer(v.toInt());
    } else if (v.isDouble()) {
      real(v.toDouble());
    } else if (v.isString()) {
      text(v.toStringRef());
    } else if (v.isTensor()) {
      tensor(v.toTensor());
    } else if (v.isTuple()) {
      op('(');
      for (const auto& e : v.toTupleRef().elements()) push(e);
      op('t');
    } else if (v.isList()) {
      op(']');
      const auto items = v.toListRef();
      if (!items.empty()) {
        op('(');
        for (const auto& e : items) push(e);
        op('e');  // APPENDS
      }
    } else if (v.isGenericDict()) {
      op('}');
      const auto dict = v.toGenericDict();
      if (!dict.empty()) {
        op('(');
        for (const auto& item : dict) {
          push(item.key());
          push(item.value());
        }
        op('u');  // SETITEMS
      }
    } else {
      fail(std::string("values of kind ") + v.tagKind() + " cannot be stored");
    }
  }

  std::string out_;
  std::vector<at::Tensor> storages_;

 public:
  const std::vector<at::Tensor>& storages() const { return storages_; }
};

}  // namespace

std::vector<char> encode_tensor_file(const c10::IValue& value) {
  Pickler pickler;
  const std::string pickle = pickler.run(value);
  ZipWriter zip;
  zip.add("archive/data.pkl", pickle);
  zip.add("archive/byteorder", "little");
  for (size_t i = 0; i < pickler.storages().size(); ++i) {
    const at::Tensor& t = pickler.storages()[i];
    zip.add("archive/data/" + std::to_string(i),
            std::string_view(static_cast<const char*>(t.data_ptr()), t.numel() * t.element_size()));
  }
  zip.add("archive/version", "3\n");
  return zip.finish();
}

// ---------------------------------------------------------------- reading

namespace {

// Nesting deeper than any real file reaches; bounds the recursion of
// whoever walks the value afterwards.
constexpr int kMaxNesting = 2000;
constexpr int64_t kMaxDims = 64;

// One value on the unpickler's stack. Tuples stay unconverted until they are
// used, since a persistent id or a call's arguments hold items that are not
// values (a class, a storage).
struct Item {
  enum class Kind { Value, Global, Storage, Tuple } kind = Kind::Value;
  c10::IValue value;                          // Value; Storage: the flat tensor
  std::string text;                           // Global: "module.name"
  std::shared_ptr<const std::vector<Item>> items;  // Tuple
  int depth = 0;                              // Tuple: its nesting
};

Item value_item(c10::IValue v) {
  Item it;
  it.value = std::move(v);
  return it;
}

class Unpickler {
 public:
  Unpickler(const ZipReader& zip, std::string prefix, std::string_view pickle)
      : zip_(zip), prefix_(std::move(prefix)), in_(pickle) {}

  c10::IValue run() {
    for (;;) {
      const char code = next(1)[0];
      if (code == '.') break;
      step(code);
    }
    if (stack_.size() != 1 || !marks_.empty()) fail("damaged pickle (stack not balanced at its end)");
    return to_value(stack_.back());
  }

 private:
  std::string_view next(size_t n) {
    if (in_.size() - pos_ < n) fail("truncated pickle");
    std::string_view s = in_.substr(pos_, n);
    pos_ += n;
    return s;
  }
  uint64_t le(size_t n) {
    const std::string_view s = next(n);
    uint64_t v = 0;
    for (size_t i = n; i-- > 0;) v = (v << 8) | static_cast<unsigned char>(s[i]);
    return v;
  }
  std::string line() {
    const size_t end = in_.find('\n', pos_);
    if (end == std::string_view::npos) fail("truncated pickle");
    std::string s(in_.substr(pos_, end - pos_));
    pos_ = end + 1;
    return s;
  }

  Item pop() {
    if (stack_.size() <= (marks_.empty() ? 0 : marks_.back())) fail("damaged pickle (stack underflow)");
    Item it = std::move(stack_.back());
    stack_.pop_back();
    return it;
  }
  Item& top() {
    if (stack_.empty()) fail("damaged pickle (stack underflow)");
    return stack_.back();
  }
  std::vector<Item> pop_to_mark() {
    if (marks_.empty()) fail("damaged pickle (no mark)");
    const size_t m = marks_.back();
    marks_.pop_back();
    std::vector<Item> items(std::make_move_iterator(stack_.begin() + static_cast<std::ptrdiff_t>(m)),
                            std::make_move_iterator(stack_.end()));
    stack_.resize(m);
    return items;
  }

  // ------------------------------------------------------------ nesting
  // Containers are tracked by address, so each tracked one is kept alive:
  // a freed container's address could otherwise come back as a new one's.
  struct Tracked {
    c10::IValue keep;
    int depth = 1;
    bool sealed = false;
  };
  static const void* container_id(const c10::IValue& v) {
    return v.isList() || v.isGenericDict() ? v.internalToPointer() : nullptr;
  }
  Tracked& track(const c10::IValue& container) {
    Tracked& t = tracked_[container.internalToPointer()];
    if (t.keep.isNone()) t.keep = container;
    return t;
  }
  int depth_of(const Item& it) const {
    if (it.kind == Item::Kind::Tuple) return it.depth;
    if (const void* id = it.kind == Item::Kind::Value ? container_id(it.value) : nullptr) {
      auto found = tracked_.find(id);
      return found == tracked_.end() ? 1 : found->second.depth;
    }
    return 0;
  }
  // A container may be filled only until it is placed inside another: that
  // keeps nesting depths final and makes cycles impossible.
  void check_open(const c10::IValue& container) const {
    auto found = tracked_.find(container.internalToPointer());
    if (found != tracked_.end() && found->second.sealed) fail("damaged pickle (a container changed after use)");
  }
  void seal(const Item& it) {
    if (it.kind == Item::Kind::Value && container_id(it.value)) track(it.value).sealed = true;
  }
  c10::IValue place(const Item& child, const c10::IValue& parent) {
    if (child.kind == Item::Kind::Value && container_id(child.value) == parent.internalToPointer())
      fail("damaged pickle (a container inside itself)");
    const int child_depth = depth_of(child);
    seal(child);
    Tracked& p = track(parent);
    p.depth = std::max(p.depth, child_depth + 1);
    if (p.depth > kMaxNesting) fail("damaged pickle (nested too deeply)");
    return to_value(child);
  }

  c10::IValue to_value(const Item& it) const {
    switch (it.kind) {
      case Item::Kind::Value: return it.value;
      case Item::Kind::Tuple: {
        std::vector<c10::IValue> elements;
        for (const auto& e : *it.items) elements.push_back(to_value(e));
        return c10::ivalue::Tuple::create(std::move(elements));
      }
      case Item::Kind::Global: fail("holds an object of type " + it.text + ", not only tensors and plain containers");
      case Item::Kind::Storage: fail("holds a bare storage, not only tensors and plain containers");
    }
    fail("damaged pickle");
  }

  Item tuple(std::vector<Item> items) {
    Item t;
    t.kind = Item::Kind::Tuple;
    int depth = 1;
    for (const auto& e : items) {
      depth = std::max(depth, depth_of(e) + 1);
      seal(e);
    }
    if (depth > kMaxNesting) fail("damaged pickle (nested too deeply)");
    t.depth = depth;
    t.items = std::make_shared<const std::vector<Item>>(std::move(items));
    return t;
  }

  // ------------------------------------------------------------ values
  static const std::vector<Item>& tuple_items(const Item& it, const char* what) {
    if (it.kind != Item::Kind::Tuple) fail(std::string("damaged pickle (") + what + " is not a tuple)");
    return *it.items;
  }
  static int64_t int_of(const Item& it, const char* what) {
    if (it.kind != Item::Kind::Value || !it.value.isInt()) fail(std::string("damaged pickle (") + what + " is not an integer)");
    return it.value.toInt();
  }
  static std::string text_of(const Item& it, const char* what) {
    if (it.kind != Item::Kind::Value || !it.value.isString()) fail(std::string("damaged pickle (") + what + " is not text)");
    return it.value.toStringRef();
  }

  // ('storage', <storage class>, key, location, numel): the record's bytes
  // as a flat tensor, checked to hold exactly numel elements.
  Item storage(const Item& pid) {
    const auto& t = tuple_items(pid, "a persistent id");
    if (t.size() != 5 || text_of(t[0], "a persistent id") != "storage" || t[1].kind != Item::Kind::Global)
      fail("damaged pickle (unknown persistent id)");
    const std::string cls = t[1].text;
    at::ScalarType type = at::kFloat;
    bool known = false;
    for (const auto& [name, st] : kStorageTypes)
      if (cls == "torch." + name) type = st, known = true;
    if (!known) fail("holds a storage of type " + cls + ", which is not supported");
    const std::string key = text_of(t[2], "a storage key");
    const int64_t numel = int_of(t[4], "a storage size");
    auto cached = storages_.find(key);
    if (cached != storages_.end()) {
      if (cached->second.scalar_type() != type || cached->second.numel() != numel)
        fail("storage '" + key + "' is used with two different types or sizes");
      Item it;
      it.kind = Item::Kind::Storage;
      it.value = cached->second;
      return it;
    }
    const std::string name = prefix_ + "data/" + key;
    if (!zip_.has(name)) fail("no record '" + name + "' for a tensor's storage");
    const std::string_view bytes = zip_.record(name);
    const size_t item = c10::elementSize(type);
    if (numel < 0 || static_cast<uint64_t>(numel) > bytes.size() / item || bytes.size() != static_cast<uint64_t>(numel) * item)
      fail("storage '" + name + "' holds " + std::to_string(bytes.size()) + " bytes, not the " + std::to_string(numel) +
           " elements of " + std::to_string(item) + " bytes it claims (truncated or damaged)");
    at::Tensor flat = at::empty({numel}, at::TensorOptions().dtype(type));
    if (numel > 0) std::memcpy(flat.data_ptr(), bytes.data(), bytes.size());
    storages_.emplace(key, flat);
    Item it;
    it.kind = Item::Kind::Storage;
    it.value = flat;
    return it;
  }

  static std::vector<int64_t> int_tuple(const Item& it, const char* what) {
    std::vector<int64_t> out;
    for (const auto& e : tuple_items(it, what)) out.push_back(int_of(e, what));
    return out;
  }

  // _rebuild_tensor_v2(storage, offset, size, stride, requires_grad, hooks[, metadata]):
  // the view is made only once it provably lies inside its storage.
  static at::Tensor rebuild_tensor(const std::vector<Item>& args) {
    if (args.size() < 5 || args[0].kind != Item::Kind::Storage) fail("damaged pickle (tensor arguments)");
    const at::Tensor& flat = args[0].value.toTensor();
    const int64_t offset = int_of(args[1], "a tensor offset");
    const std::vector<int64_t> size = int_tuple(args[2], "a tensor size");
    const std::vector<int64_t> stride = int_tuple(args[3], "a tensor stride");
    const std::string shape = c10::str(c10::IntArrayRef(size)), strides = c10::str(c10::IntArrayRef(stride));
    if (size.size() != stride.size() || static_cast<int64_t>(size.size()) > kMaxDims)
      fail("tensor of size " + shape + " has strides " + strides + " (damaged)");
    bool empty = false;
    for (size_t i = 0; i < size.size(); ++i) {
      if (size[i] < 0 || stride[i] < 0)
        fail("tensor of size " + shape + " has negative sizes or strides " + strides + " (damaged)");
      empty |= size[i] == 0;
    }
    if (offset < 0 || offset > flat.numel()) fail("tensor offset " + std::to_string(offset) + " lies outside its storage");
    if (!empty) {
      // The last element's index, computed without overflow.
      int64_t last = offset;
      for (size_t i = 0; i < size.size(); ++i) {
        int64_t step = 0;
        if (__builtin_mul_overflow(size[i] - 1, stride[i], &step) || __builtin_add_overflow(last, step, &last))
          fail("tensor of size " + shape + " with strides " + strides + " extends past its storage (damaged)");
      }
      if (last >= flat.numel())
        fail("tensor of size " + shape + " with strides " + strides + " and offset " + std::to_string(offset) +
             " extends past its storage of " + std::to_string(flat.numel()) + " elements (truncated or damaged)");
    }
    return flat.as_strided(size, stride, offset);
  }

  // Calls of the few classes and functions a tensor file may name.
  Item call(const Item& callable, const Item& args_item) {
    if (callable.kind != Item::Kind::Global) fail("damaged pickle (calling something that is not a class)");
    const std::vector<Item>& args = tuple_items(args_item, "a call's arguments");
    const std::string& f = callable.text;
    if (f == "collections.OrderedDict") {
      if (!args.empty()) fail("damaged pickle (OrderedDict with arguments)");
      return value_item(c10::impl::GenericDict(c10::AnyType::get(), c10::AnyType::get()));
    }
    if (f == "torch._utils._rebuild_tensor_v2") return value_item(rebuild_tensor(args));
    if (f == "torch._utils._rebuild_parameter") {
      if (args.empty() || args[0].kind != Item::Kind::Value || !args[0].value.isTensor())
        fail("damaged pickle (parameter arguments)");
      return args[0];
    }
    // LibTorch's own pickler tags typed containers; the values are plain.
    if (f == "torch.jit._pickle.restore_type_tag" || f == "torch.jit._pickle.build_intlist" ||
        f == "torch.jit._pickle.build_doublelist" || f == "torch.jit._pickle.build_boollist" ||
        f == "torch.jit._pickle.build_tensorlist") {
      if (args.empty()) fail("damaged pickle (" + f + " without arguments)");
      return args[0];
    }
    fail("holds an object of type " + f + ", not only tensors and plain containers");
  }

  void memo_put(uint64_t index) {
    if (index > stack_limit()) fail("damaged pickle (memo index)");
    memo_[index] = top();
  }
  void memo_get(uint64_t index) {
    auto it = memo_.find(index);
    if (it == memo_.end()) fail("damaged pickle (unknown memo entry)");
    stack_.push_back(it->second);
  }
  size_t stack_limit() const { return in_.size(); }

  void set_items(std::vector<Item> items) {
    if (items.size() % 2) fail("damaged pickle (odd number of mapping items)");
    Item& target = top();
    if (target.kind != Item::Kind::Value || !target.value.isGenericDict())
      fail("damaged pickle (setting items of something that is not a mapping)");
    check_open(target.value);
    auto dict = target.value.toGenericDict();
    for (size_t i = 0; i < items.size(); i += 2) {
      c10::IValue key = place(items[i], target.value);
      c10::IValue value = place(items[i + 1], target.value);
      if (!(key.isString() || key.isInt() || key.isBool() || key.isDouble() || key.isNone()))
        fail(std::string("damaged pickle (a mapping key of kind ") + key.tagKind() + ")");
      dict.insert_or_assign(std::move(key), std::move(value));
    }
  }

  void append_items(std::vector<Item> items) {
    Item& target = top();
    if (target.kind != Item::Kind::Value || !target.value.isList())
      fail("damaged pickle (appending to something that is not a list)");
    check_open(target.value);
    auto list = target.value.toList();
    for (const auto& e : items) list.push_back(place(e, target.value));
  }

  void step(char code) {
    switch (static_cast<unsigned char>(code)) {
      case 0x80: next(1); break;                // PROTO
      case 0x95: next(8); break;                // FRAME
      case '(': marks_.push_back(stack_.size()); break;
      case '}': stack_.push_back(value_item(c10::impl::GenericDict(c10::AnyType::get(), c10::AnyType::get()))); break;
      case ']': stack_.push_back(value_item(c10::impl::GenericList(c10::AnyType::get()))); break;
      case ')': stack_.push_back(tuple({})); break;
      case 't': stack_.push_back(tuple(pop_to_mark())); break;
      case 0x85: case 0x86: case 0x87: {        // TUPLE1..3
        std::vector<Item> items(static_cast<unsigned char>(code) - 0x84);
        for (size_t i = items.size(); i-- > 0;) items[i] = pop();
        stack_.push_back(tuple(std::move(items)));
        break;
      }
      case 's': {                               // SETITEM
        Item value = pop(), key = pop();
        std::vector<Item> kv;
        kv.push_back(std::move(key));
        kv.push_back(std::move(value));
        set_items(std::move(kv));
        break;
      }
      case 'u': set_items(pop_to_mark()); break;
      case 'a': { Item v = pop(); std::vector<Item> one; one.push_back(std::move(v)); append_items(std::move(one)); break; }
      case 'e': append_items(pop_to_mark()); break;
      case 'N': stack_.push_back(value_item(c10::IValue())); break;
      case 0x88: stack_.push_back(value_item(true)); break;
      case 0x89: stack_.push_back(value_item(false)); break;
      case 'K': stack_.push_back(value_item(static_cast<int64_t>(le(1)))); break;
      case 'M': stack_.push_back(value_item(static_cast<int64_t>(le(2)))); break;
      case 'J': stack_.push_back(value_item(static_cast<int64_t>(static_cast<int32_t>(le(4))))); break;
      case 0x8a: {                              // LONG1
        const uint64_t n = le(1);
        if (n > 8) fail("holds an integer wider than 64 bits");
        uint64_t v = n ? le(n) : 0;
        if (n && n < 8 && (v >> (8 * n - 1)) & 1) v |= ~uint64_t{0} << (8 * n);  // sign-extend
        stack_.push_back(value_item(static_cast<int64_t>(v)));
        break;
      }
      case 'G': {                               // BINFLOAT, big-endian
        const std::string_view s = next(8);
        uint64_t bits = 0;
        for (char c : s) bits = (bits << 8) | static_cast<unsigned char>(c);
        double d;
        std::memcpy(&d, &bits, 8);
        stack_.push_back(value_item(d));
        break;
      }
      case 'X': stack_.push_back(value_item(std::string(next(le(4))))); break;
      case 0x8c: stack_.push_back(value_item(std::string(next(le(1))))); break;
      case 0x8d: stack_.push_back(value_item(std::string(next(le(8))))); break;
      case 'q': memo_put(le(1)); break;
      case 'r': memo_put(le(4)); break;
      case 0x94: memo_put(memo_.size()); break;  // MEMOIZE
      case 'h': memo_get(le(1)); break;
      case 'j': memo_get(le(4)); break;
      case 'c': {                               // GLOBAL
        Item g;
        g.kind = Item::Kind::Global;
        const std::string module = line();
        g.text = module + "." + line();
        stack_.push_back(std::move(g));
        break;
      }
      case 0x93: {                              // STACK_GLOBAL
        const std::string name = text_of(pop(), "a global's name");
        Item g;
        g.kind = Item::Kind::Global;
        g.text = text_of(pop(), "a global's module") + "." + name;
        stack_.push_back(std::move(g));
        break;
      }
      case 'Q': { Item pid = pop(); stack_.push_back(storage(pid)); break; }  // BINPERSID
      case 'R': { Item args = pop(), f = pop(); stack_.push_back(call(f, args)); break; }
      case 'b': {                               // BUILD: only a mapping's attributes
        pop();  // (an OrderedDict's _metadata, which nothing here needs)
        const Item& target = top();
        if (target.kind != Item::Kind::Value || !target.value.isGenericDict())
          fail("damaged pickle (setting the state of something that is not a mapping)");
        break;
      }
      default: {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02x", static_cast<unsigned char>(code));
        fail(std::string("damaged pickle (unsupported opcode ") + hex + ")");
      }
    }
  }

  const ZipReader& zip_;
  std::string prefix_;
  std::string_view in_;
  size_t pos_ = 0;
  std::vector<Item> stack_;
  std::vector<size_t> marks_;
  std::unordered_map<uint64_t, Item> memo_;
  std::map<std::string, at::Tensor> storages_;
  std::unordered_map<const void*, Tracked> tracked_;
};

}  // namespace

c10::IValue decode_tensor_file(const std::vector<char>& bytes) {
  const ZipReader zip(bytes);
  // Every record lies in one folder named after the archive; its data.pkl is the value.
  std::string prefix;
  for (const auto& name : zip.names()) {
    const auto slash = name.find('/');
    if (slash != std::string::npos && name.compare(slash, std::string::npos, "/data.pkl") == 0) {
      prefix = name.substr(0, slash + 1);
      break;
    }
  }
  if (prefix.empty()) fail("not a tensor file (no data.pkl record)");
  if (zip.has(prefix + "byteorder") && zip.record(prefix + "byteorder") != "little")
    fail("big-endian tensor files are not supported");
  try {
    return Unpickler(zip, prefix, zip.record(prefix + "data.pkl")).run();
  } catch (const c10::Error& e) {
    fail(std::string("damaged pickle (") + e.what_without_backtrace() + ")");
  }
}

}  // namespace lumora
