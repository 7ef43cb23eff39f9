// What every GDAL user of ours shares: the drivers registered once, GDAL's
// complaints kept for our own error messages instead of printed on standard
// error, and datasets closed by their owner. Header only, for the sources
// that link GDAL (the converter's readers and the map writer).
#pragma once

#include <cpl_error.h>
#include <gdal.h>

#include <memory>
#include <mutex>
#include <string>

namespace lumora::gdal {

inline void register_drivers() {
  static std::once_flag once;
  std::call_once(once, [] { GDALAllRegister(); });
}

// While it lives, GDAL's messages are recorded, not printed.
class QuietErrors {
 public:
  QuietErrors() {
    CPLPushErrorHandler(CPLQuietErrorHandler);
    CPLErrorReset();
  }
  ~QuietErrors() { CPLPopErrorHandler(); }
  QuietErrors(const QuietErrors&) = delete;
  QuietErrors& operator=(const QuietErrors&) = delete;
};

// ": <GDAL's last message>", or nothing when it gave none.
inline std::string gdal_detail() {
  const char* m = CPLGetLastErrorMsg();
  return m && *m ? std::string(": ") + m : "";
}

struct DatasetCloser {
  void operator()(void* ds) const {
    if (ds) GDALClose(static_cast<GDALDatasetH>(ds));
  }
};
using Dataset = std::unique_ptr<void, DatasetCloser>;

}  // namespace lumora::gdal
