// CSkinImages: a window's cache of the skin's PNG pictures, read from the
// Images folder beside the program on first use. Each window keeps its own
// and frees it with itself. A missing or unreadable file gives a null image,
// which draws nothing and is not looked for again while the cache lives.
#pragma once
#include <QImage>
#include <QString>
#include <QStringList>
#include <array>
#include <optional>

namespace quorvex::ui {

class CSkinImages {
 public:
  // The folder the pictures are read from: the program's directory + "/Images"
  // unless a test chose another. Applies to pictures not loaded yet.
  static void SetImagesDir(const QString& dir);
  static QString ImagesDir();
  // The names the window uses; each has its own slot.
  static const QStringList& Names();

  // The picture of `name`, loaded on first use; a null image for a name
  // outside the list or a file that could not be read.
  const QImage& Get(const QString& name);
  // How many pictures this cache has tried to load.
  int LoadedSlots() const;

 private:
  static constexpr int kSlots = 15;
  std::array<std::optional<QImage>, kSlots> m_Images;
};

}  // namespace quorvex::ui
