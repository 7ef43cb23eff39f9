// Writes the conversion benchmark's scene: an int16 band-sequential ENVI
// cube (smooth class spectra plus sensor-like noise, so that it compresses
// like real data) and a palette PNG label map.
//   convert_envi_make OUT_DIR [LINES SAMPLES BANDS]
#include <cpl_conv.h>
#include <gdal.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUT_DIR [LINES SAMPLES BANDS]\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const int lines = argc > 2 ? std::atoi(argv[2]) : 512;
  const int samples = argc > 3 ? std::atoi(argv[3]) : 512;
  const int bands = argc > 4 ? std::atoi(argv[4]) : 224;
  const int classes = 8;

  std::vector<uint8_t> labels(static_cast<size_t>(lines) * samples);
  for (int r = 0; r < lines; ++r)
    for (int c = 0; c < samples; ++c) {
      const int block = (r / 64) * 3 + (c / 96);
      labels[static_cast<size_t>(r) * samples + c] = static_cast<uint8_t>(r < 16 ? 0 : 1 + block % classes);
    }

  std::mt19937 gen(7);
  std::normal_distribution<float> noise(0.0f, 12.0f);
  std::vector<int16_t> band(static_cast<size_t>(lines) * samples);
  FILE* raw = std::fopen((dir + "/scene.img").c_str(), "wb");
  if (!raw) return 1;
  for (int b = 0; b < bands; ++b) {
    const double x = static_cast<double>(b) / bands;
    for (size_t i = 0; i < band.size(); ++i) {
      const int k = labels[i];
      const double level = 800.0 + 300.0 * k + 900.0 * std::sin(3.0 * x * (k + 1)) * std::exp(-x);
      band[i] = static_cast<int16_t>(std::lround(level + noise(gen)));
    }
    std::fwrite(band.data(), sizeof(int16_t), band.size(), raw);
  }
  std::fclose(raw);

  FILE* hdr = std::fopen((dir + "/scene.hdr").c_str(), "w");
  std::fprintf(hdr,
               "ENVI\ndescription = {benchmark scene}\nsamples = %d\nlines   = %d\nbands   = %d\n"
               "header offset = 0\nfile type = ENVI Standard\ndata type = 2\ninterleave = bsq\n"
               "sensor type = Unknown\nbyte order = 0\nwavelength units = Nanometers\nwavelength = {\n",
               samples, lines, bands);
  for (int b = 0; b < bands; ++b) std::fprintf(hdr, " %.6f%s", 400.0 + 2000.0 * b / bands, b + 1 < bands ? "," : "}\n");
  std::fclose(hdr);

  GDALAllRegister();
  GDALDatasetH mem = GDALCreate(GDALGetDriverByName("MEM"), "", samples, lines, 1, GDT_Byte, nullptr);
  GDALRasterBandH lb = GDALGetRasterBand(mem, 1);
  if (GDALRasterIO(lb, GF_Write, 0, 0, samples, lines, labels.data(), samples, lines, GDT_Byte, 0, 0) != CE_None)
    return 1;
  GDALColorTableH table = GDALCreateColorTable(GPI_RGB);
  for (int k = 0; k <= classes; ++k) {
    GDALColorEntry e{static_cast<short>(k * 30), static_cast<short>(255 - k * 25), static_cast<short>(k * 50 % 256), 255};
    GDALSetColorEntry(table, k, &e);
  }
  GDALSetRasterColorTable(lb, table);
  GDALDestroyColorTable(table);
  GDALDatasetH png = GDALCreateCopy(GDALGetDriverByName("PNG"), (dir + "/labels.png").c_str(), mem, FALSE, nullptr,
                                    nullptr, nullptr);
  if (!png) return 1;
  GDALClose(png);
  GDALClose(mem);
  return 0;
}
