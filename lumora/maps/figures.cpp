#include "lumora/maps/figures.h"

#include <cairo.h>
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "lumora/core/atomic_file.h"
#include "lumora/core/errors.h"

namespace lumora::maps {
namespace {

constexpr double kFontSize = 14.0;
constexpr int kPad = 14, kSwatchW = 32, kSwatchH = 18, kRow = 26, kTitleH = 30;

struct SurfaceFree {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextFree {
  void operator()(cairo_t* c) const { cairo_destroy(c); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceFree>;
using Context = std::unique_ptr<cairo_t, ContextFree>;

Surface make_surface(int width, int height, const std::string& path) {
  Surface s(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height));
  if (cairo_surface_status(s.get()) != CAIRO_STATUS_SUCCESS)
    throw RuntimeError(fmt::format("cannot draw '{}': {}", path, cairo_status_to_string(cairo_surface_status(s.get()))));
  return s;
}

Context make_context(cairo_surface_t* surface) {
  Context cr(cairo_create(surface));
  cairo_set_source_rgb(cr.get(), 1, 1, 1);
  cairo_paint(cr.get());
  cairo_select_font_face(cr.get(), "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr.get(), kFontSize);
  return cr;
}

void set_colour(cairo_t* cr, const Rgb& c) { cairo_set_source_rgb(cr, c.r / 255.0, c.g / 255.0, c.b / 255.0); }

double text_width(cairo_t* cr, const std::string& text) {
  cairo_text_extents_t e;
  cairo_text_extents(cr, text.c_str(), &e);
  return e.x_advance;
}

// Text with its baseline at y, starting at x (align 0), centred on x (0.5) or ending at x (1).
void text_at(cairo_t* cr, const std::string& text, double x, double y, double align = 0.0) {
  cairo_move_to(cr, x - align * text_width(cr, text), y);
  cairo_show_text(cr, text.c_str());
}

cairo_status_t append_bytes(void* closure, const unsigned char* data, unsigned int length) {
  auto* bytes = static_cast<std::vector<char>*>(closure);
  bytes->insert(bytes->end(), reinterpret_cast<const char*>(data), reinterpret_cast<const char*>(data) + length);
  return CAIRO_STATUS_SUCCESS;
}

void save_png(cairo_surface_t* surface, const std::string& path) {
  cairo_surface_flush(surface);
  std::vector<char> bytes;
  const cairo_status_t status = cairo_surface_write_to_png_stream(surface, append_bytes, &bytes);
  if (status != CAIRO_STATUS_SUCCESS)
    throw RuntimeError(fmt::format("cannot draw '{}': {}", path, cairo_status_to_string(status)));
  write_binary_file(path, bytes);
}

// About five round steps (1, 2 or 5 times a power of ten) over [lo, hi].
double tick_step(double lo, double hi) {
  const double span = hi > lo ? hi - lo : 1.0;
  const double raw = span / 5.0;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0})
    if (m * power >= raw) return m * power;
  return 10.0 * power;
}

std::string tick_text(double v, double step) {
  const int decimals = step >= 1.0 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
  return fmt::format("{:.{}f}", std::abs(v) < step * 1e-6 ? 0.0 : v, decimals);
}

struct Panel {
  double x, y, width, height;  // plotting area
  double x_lo, x_hi, y_lo, y_hi;
  double px(double v) const { return x + (x_hi > x_lo ? (v - x_lo) / (x_hi - x_lo) : 0.5) * width; }
  double py(double v) const { return y + height - (y_hi > y_lo ? (v - y_lo) / (y_hi - y_lo) : 0.5) * height; }
};

void draw_axes(cairo_t* cr, const Panel& p, const std::string& title, const std::string& x_label) {
  const Rgb grid{225, 225, 225}, ink{40, 40, 40};
  cairo_set_line_width(cr, 1.0);
  const double x_step = tick_step(p.x_lo, p.x_hi), y_step = tick_step(p.y_lo, p.y_hi);
  cairo_set_font_size(cr, kFontSize - 2);
  for (double v = std::ceil(p.y_lo / y_step) * y_step; v <= p.y_hi + y_step * 1e-6; v += y_step) {
    set_colour(cr, grid);
    cairo_move_to(cr, p.x, std::round(p.py(v)) + 0.5);
    cairo_line_to(cr, p.x + p.width, std::round(p.py(v)) + 0.5);
    cairo_stroke(cr);
    set_colour(cr, ink);
    text_at(cr, tick_text(v, y_step), p.x - 6, p.py(v) + 4, 1.0);
  }
  for (double v = std::ceil(p.x_lo / x_step) * x_step; v <= p.x_hi + x_step * 1e-6; v += x_step) {
    set_colour(cr, ink);
    text_at(cr, tick_text(v, x_step), p.px(v), p.y + p.height + 16, 0.5);
  }
  set_colour(cr, ink);
  cairo_rectangle(cr, p.x + 0.5, p.y + 0.5, p.width, p.height);
  cairo_stroke(cr);
  text_at(cr, x_label, p.x + p.width / 2, p.y + p.height + 34, 0.5);
  cairo_set_font_size(cr, kFontSize);
  text_at(cr, title, p.x + p.width / 2, p.y - 10, 0.5);
}

void draw_line(cairo_t* cr, const Panel& p, const std::vector<double>& xs, const std::vector<double>& ys,
               const Rgb& colour, bool dashed) {
  const size_t n = std::min(xs.size(), ys.size());
  set_colour(cr, colour);
  cairo_set_line_width(cr, 2.0);
  if (dashed) {
    const double dash[] = {6.0, 4.0};
    cairo_set_dash(cr, dash, 2, 0);
  }
  for (size_t i = 0; i < n; ++i) {
    if (i == 0)
      cairo_move_to(cr, p.px(xs[i]), p.py(ys[i]));
    else
      cairo_line_to(cr, p.px(xs[i]), p.py(ys[i]));
  }
  if (n > 1) cairo_stroke(cr);
  cairo_new_path(cr);
  cairo_set_dash(cr, nullptr, 0, 0);
  // Markers on whole pixels, so that their inside is exactly the series' colour.
  for (size_t i = 0; i < n; ++i) {
    cairo_rectangle(cr, std::round(p.px(xs[i])) - 3, std::round(p.py(ys[i])) - 3, 6, 6);
    cairo_fill(cr);
  }
}

}  // namespace

Box legend_swatch(size_t index) {
  return {kPad, kPad + kTitleH + static_cast<int>(index) * kRow, kSwatchW, kSwatchH};
}

void draw_legend(const std::string& path, const std::string& title, const std::vector<LegendEntry>& entries) {
  // Measured on a scratch surface first: the picture is as wide as its longest label.
  double widest = 0.0;
  {
    Surface scratch = make_surface(1, 1, path);
    Context cr = make_context(scratch.get());
    cairo_select_font_face(cr.get(), "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    widest = text_width(cr.get(), title);
    cairo_select_font_face(cr.get(), "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    for (const auto& e : entries) widest = std::max(widest, kSwatchW + 10 + text_width(cr.get(), e.label));
  }
  const int width = static_cast<int>(std::ceil(widest)) + 2 * kPad;
  const int height = kPad + kTitleH + static_cast<int>(entries.size()) * kRow + kPad - (kRow - kSwatchH);
  Surface surface = make_surface(width, std::max(height, kPad * 2 + kTitleH), path);
  Context cr = make_context(surface.get());
  cairo_set_source_rgb(cr.get(), 0.1, 0.1, 0.1);
  cairo_select_font_face(cr.get(), "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
  text_at(cr.get(), title, kPad, kPad + 16);
  cairo_select_font_face(cr.get(), "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  for (size_t i = 0; i < entries.size(); ++i) {
    const Box b = legend_swatch(i);
    set_colour(cr.get(), entries[i].colour);
    cairo_rectangle(cr.get(), b.x, b.y, b.width, b.height);
    cairo_fill(cr.get());
    // A thin frame outside the swatch keeps light colours visible on white.
    cairo_set_source_rgb(cr.get(), 0.55, 0.55, 0.55);
    cairo_set_line_width(cr.get(), 1.0);
    cairo_rectangle(cr.get(), b.x - 0.5, b.y - 0.5, b.width + 1, b.height + 1);
    cairo_stroke(cr.get());
    cairo_set_source_rgb(cr.get(), 0.1, 0.1, 0.1);
    text_at(cr.get(), entries[i].label, b.x + b.width + 10, b.y + b.height - 4);
  }
  save_png(surface.get(), path);
}

void draw_training_curves(const std::string& path, const std::string& title, const std::vector<CurveSeries>& series) {
  constexpr int kWidth = 1000, kPanelH = 300, kTop = 70, kLeft = 70, kGap = 90;
  constexpr int kLegendCols = 3;
  const int legend_rows = static_cast<int>((series.size() + kLegendCols - 1) / kLegendCols);
  const int height = kTop + kPanelH + 60 + legend_rows * 22 + kPad;
  Surface surface = make_surface(kWidth, height, path);
  Context cr = make_context(surface.get());
  cairo_t* c = cr.get();

  double x_lo = 1e300, x_hi = -1e300, loss_lo = 0.0, loss_hi = -1e300;
  for (const auto& s : series) {
    for (double e : s.epochs) x_lo = std::min(x_lo, e), x_hi = std::max(x_hi, e);
    for (double l : s.train_loss) loss_lo = std::min(loss_lo, l), loss_hi = std::max(loss_hi, l);
  }
  if (x_lo > x_hi) x_lo = 0, x_hi = 1;
  if (x_lo == x_hi) x_lo -= 1, x_hi += 1;
  if (loss_hi <= loss_lo) loss_hi = loss_lo + 1.0;
  const double step = tick_step(loss_lo, loss_hi);
  loss_hi = std::ceil(loss_hi / step) * step;

  const double panel_w = (kWidth - kLeft - kGap - 30) / 2.0;
  const Panel loss{kLeft, kTop, panel_w, kPanelH, x_lo, x_hi, loss_lo, loss_hi};
  const Panel scores{kLeft + panel_w + kGap, kTop, panel_w, kPanelH, x_lo, x_hi, 0.0, 1.0};

  cairo_set_source_rgb(c, 0.1, 0.1, 0.1);
  cairo_select_font_face(c, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
  cairo_set_font_size(c, kFontSize + 2);
  text_at(c, title, kWidth / 2.0, 26, 0.5);
  cairo_select_font_face(c, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(c, kFontSize);
  draw_axes(c, loss, "training loss", "epoch");
  draw_axes(c, scores, "validation mIoU (solid) and OA (dashed)", "epoch");
  for (const auto& s : series) {
    draw_line(c, loss, s.epochs, s.train_loss, s.colour, false);
    draw_line(c, scores, s.epochs, s.val_oa, s.colour, true);
    draw_line(c, scores, s.epochs, s.val_miou, s.colour, false);
  }

  const double legend_y = kTop + kPanelH + 60;
  const double col_w = (kWidth - 2.0 * kLeft) / kLegendCols;
  for (size_t i = 0; i < series.size(); ++i) {
    const double x = kLeft + static_cast<double>(i % kLegendCols) * col_w;
    const double y = legend_y + static_cast<double>(i / kLegendCols) * 22;
    set_colour(c, series[i].colour);
    cairo_rectangle(c, x, y - 9, 24, 6);
    cairo_fill(c);
    cairo_set_source_rgb(c, 0.1, 0.1, 0.1);
    text_at(c, series[i].label, x + 32, y);
  }
  save_png(surface.get(), path);
}

}  // namespace lumora::maps
