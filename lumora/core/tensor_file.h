// Tensor files as Python's torch.save writes them: a zip of a protocol-2
// pickle ("data.pkl") and one record per tensor storage. Written files hold
// plain dicts, lists, tuples, text, numbers, None and tensors only, so that
// torch.load(path, weights_only=True) reads them.
//
// Reading runs a restricted unpickler of our own rather than LibTorch's: it
// accepts only those values (an OrderedDict becomes a mapping, the type tags
// of LibTorch's own pickler are dropped), checks every tensor against its
// storage before making it (sizes, strides, offset, dtype) and relies on the
// zip reader's CRC-32 checks, so no file can make it read outside its bytes.
#pragma once

#include <vector>

#include <ATen/core/ivalue.h>

namespace lumora {

// Throws RuntimeError for values it cannot store (objects, CUDA-only types).
std::vector<char> encode_tensor_file(const c10::IValue& value);

// Throws RuntimeError carrying the reason (no file name: callers add theirs).
c10::IValue decode_tensor_file(const std::vector<char>& bytes);

}  // namespace lumora
