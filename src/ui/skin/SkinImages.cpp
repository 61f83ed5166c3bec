#include "ui/skin/SkinImages.h"

#include <algorithm>

#include "util/WinUtils.h"

namespace quorvex::ui {

namespace {
QString& ImagesDirOverride() {
  static QString dir;
  return dir;
}
}  // namespace

void CSkinImages::SetImagesDir(const QString& dir) { ImagesDirOverride() = dir; }

QString CSkinImages::ImagesDir() {
  if (!ImagesDirOverride().isEmpty()) return ImagesDirOverride();
  return QString::fromStdString(CWinUtils::GetImagesPath());
}

const QStringList& CSkinImages::Names() {
  static const QStringList names{"usb_small.png", "server.png",  "arrow.png",   "arrow2.png", "arrow4.png",
                                 "banner1.png",   "banner2.png", "banner3.png", "banner4.png"};
  return names;
}

const QImage& CSkinImages::Get(const QString& name) {
  static const QImage none;
  const int slot = static_cast<int>(Names().indexOf(name));
  if (slot < 0 || slot >= kSlots) return none;
  std::optional<QImage>& cached = m_Images[static_cast<size_t>(slot)];
  // A failed load is kept as a null image, so it is not retried.
  if (!cached) cached = QImage(ImagesDir() + "/" + name);
  return *cached;
}

int CSkinImages::LoadedSlots() const {
  return static_cast<int>(std::count_if(m_Images.begin(), m_Images.end(), [](const auto& i) { return i.has_value(); }));
}

}  // namespace quorvex::ui
