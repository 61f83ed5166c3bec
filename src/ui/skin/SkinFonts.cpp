#include "ui/skin/SkinFonts.h"

#include <array>
#include <utility>

namespace quorvex::ui {

namespace {

constexpr std::array<int, 7> kRegularSizes{10, 11, 12, 14, 15, 16, 18};
constexpr std::array<int, 9> kBoldSizes{10, 11, 12, 14, 16, 15, 18, 32, 42};

QFont MakeFont(int pixels, int weight) {
  QFont font;
  font.setFamilies(CFontSet::Families());
  font.setPixelSize(pixels);
  font.setWeight(static_cast<QFont::Weight>(weight));
  font.setStyleStrategy(QFont::PreferAntialias);
  return font;
}

template <size_t N>
std::array<QFont, N> MakeFonts(const std::array<int, N>& sizes, int weight) {
  std::array<QFont, N> fonts;
  for (size_t i = 0; i < N; ++i) fonts[i] = MakeFont(sizes[i], weight);
  return fonts;
}

template <size_t N>
const QFont& Pick(const std::array<QFont, N>& fonts, const std::array<int, N>& sizes, int pixels, size_t fallback) {
  for (size_t i = 0; i < N; ++i) {
    if (sizes[i] == pixels) return fonts[i];
  }
  return fonts[fallback];
}

}  // namespace

QStringList CFontSet::Families() {
  return {QStringLiteral("Malgun Gothic"), QString::fromUtf8("맑은 고딕"), QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")};
}

const QFont& CFontSet::Regular(int pixels) {
  static const auto fonts = MakeFonts(kRegularSizes, QFont::Medium);
  return Pick(fonts, kRegularSizes, pixels, 2);
}

const QFont& CFontSet::Bold(int pixels) {
  static const auto fonts = MakeFonts(kBoldSizes, QFont::Bold);
  return Pick(fonts, kBoldSizes, pixels, 8);
}

}  // namespace quorvex::ui
