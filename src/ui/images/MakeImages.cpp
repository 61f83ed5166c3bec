// quorvex-make-images: draws the operator window's pictures into a folder.
//
// The window loads its marks and banners as PNG files from an Images folder
// beside the program. We draw every one of them here with QPainter at build
// time instead of keeping binary pictures in the tree: they stay ours, they
// follow the window's palette, and a change is a code review, not a blob.
//
// Usage: quorvex-make-images <output-dir>
// Runs without a display (QT_QPA_PLATFORM=offscreen); exits non-zero with a
// message on stderr if the folder or a file cannot be written.

#include <QColor>
#include <QDir>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPointF>
#include <QPolygonF>
#include <QRadialGradient>
#include <QRectF>
#include <QString>

#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

// The window's palette (src/ui/skin/SkinColors.h); repeated here because this
// tool links Qt6::Gui only and must build before the window library.
const QColor kWhite{255, 255, 255};
const QColor kLightBlue{160, 220, 255};
const QColor kOrangeTop{240, 108, 84};
const QColor kOrangeBottom{238, 90, 64};
const QColor kGrey80{80, 80, 80};
const QColor kGrey210{210, 210, 210};
// Derived shades: a deeper blue for strokes that must read on light blue,
// and a calm green for "running" lamps.
const QColor kBlueGrey{62, 104, 134};
const QColor kDeepBlue{70, 150, 205};
const QColor kPaleBlue{232, 246, 255};
const QColor kLedGreen{64, 200, 110};

QColor WithAlpha(QColor c, int alpha) {
  c.setAlpha(alpha);
  return c;
}

QImage NewCanvas(int w, int h) {
  QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  return image;
}

void Smooth(QPainter& p) {
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setRenderHint(QPainter::TextAntialiasing, true);
  p.setRenderHint(QPainter::SmoothPixmapTransform, true);
}

QPen RoundPen(const QColor& color, qreal width) {
  QPen pen(color, width);
  pen.setCapStyle(Qt::RoundCap);
  pen.setJoinStyle(Qt::RoundJoin);
  return pen;
}

// A right-pointing chevron centred on c; `half` is its half height.
void Chevron(QPainter& p, QPointF c, qreal half, qreal width, const QColor& color) {
  const qreal depth = half * 0.62;
  QPolygonF line;
  line << QPointF(c.x() - depth / 2, c.y() - half) << QPointF(c.x() + depth / 2, c.y())
       << QPointF(c.x() - depth / 2, c.y() + half);
  p.setPen(RoundPen(color, width));
  p.setBrush(Qt::NoBrush);
  p.drawPolyline(line);
}

// ---- the small marks -------------------------------------------------------

// The current page's button (light blue face): a solid white disc makes the
// selection stand out; the chevron is blue-grey so it is not mistaken for
// the grey text of the other buttons.
QImage Arrow() {
  QImage image = NewCanvas(20, 20);
  QPainter p(&image);
  Smooth(p);
  p.setPen(Qt::NoPen);
  p.setBrush(WithAlpha(kBlueGrey, 40));
  p.drawEllipse(QPointF(10, 10.5), 8.9, 8.9);  // a hair of shade under the disc
  p.setBrush(kWhite);
  p.drawEllipse(QPointF(10, 10), 8.5, 8.5);
  Chevron(p, QPointF(10.6, 10), 3.9, 2.0, kBlueGrey);
  return image;
}

// The other buttons sit on near-white or on orange: a translucent disc
// brightens orange without hiding it, the faint ring gives the disc an edge
// on near-white, and the dark chevron reads on both.
QImage Arrow2() {
  QImage image = NewCanvas(20, 20);
  QPainter p(&image);
  Smooth(p);
  p.setPen(QPen(WithAlpha(kGrey80, 55), 1.0));
  p.setBrush(WithAlpha(kWhite, 165));
  p.drawEllipse(QPointF(10, 10), 8.0, 8.0);
  Chevron(p, QPointF(10.6, 10), 3.7, 1.9, kGrey80);
  return image;
}

// The section title mark: an orange tile with a white chevron, resting on a
// light blue tile that peeks out below and to the right.
QImage Arrow4() {
  QImage image = NewCanvas(25, 23);
  QPainter p(&image);
  Smooth(p);
  p.setPen(Qt::NoPen);
  p.setBrush(kLightBlue);
  p.drawRoundedRect(QRectF(7, 5, 16, 16), 4, 4);
  QLinearGradient orange(0, 2, 0, 18);
  orange.setColorAt(0, kOrangeTop);
  orange.setColorAt(1, kOrangeBottom);
  p.setBrush(orange);
  p.drawRoundedRect(QRectF(2, 2, 16, 16), 4, 4);
  Chevron(p, QPointF(10.6, 10), 3.8, 2.0, kWhite);
  return image;
}

// The server status mark: two rack units stacked, each with drive slots and
// a green lamp.
QImage Server() {
  QImage image = NewCanvas(25, 25);
  QPainter p(&image);
  Smooth(p);
  for (int unit = 0; unit < 2; ++unit) {
    const QRectF box(2.5, 3.5 + unit * 10, 20, 8);
    p.setPen(Qt::NoPen);
    p.setBrush(kGrey80);
    p.drawRoundedRect(box, 2.2, 2.2);
    // Drive slots.
    p.setPen(RoundPen(kGrey210, 1.4));
    const qreal y = box.center().y();
    p.drawLine(QPointF(box.left() + 3.5, y), QPointF(box.left() + 8, y));
    p.drawLine(QPointF(box.left() + 10, y), QPointF(box.left() + 12.5, y));
    // The lamp, with a soft glow so it reads as lit.
    const QPointF led(box.right() - 3.6, y);
    p.setPen(Qt::NoPen);
    p.setBrush(WithAlpha(kLedGreen, 90));
    p.drawEllipse(led, 2.4, 2.4);
    p.setBrush(kLedGreen);
    p.drawEllipse(led, 1.5, 1.5);
  }
  // Feet, so the stack stands on something.
  p.setPen(RoundPen(kGrey80, 1.6));
  p.drawLine(QPointF(5, 23), QPointF(7.5, 23));
  p.drawLine(QPointF(17.5, 23), QPointF(20, 23));
  return image;
}

// A USB plug seen from the side, pointing up: metal shell with its two
// windows, a dark grip, and the cable.
QImage UsbSmall() {
  QImage image = NewCanvas(16, 16);
  QPainter p(&image);
  Smooth(p);
  // Cable.
  p.setPen(Qt::NoPen);
  p.setBrush(kGrey80);
  p.drawRect(QRectF(6.75, 12, 2.5, 4));
  // Grip.
  p.drawRoundedRect(QRectF(3.5, 6.5, 9, 6.5), 1.6, 1.6);
  // Shell.
  p.setPen(QPen(kGrey80, 1.0));
  p.setBrush(kGrey210);
  p.drawRect(QRectF(4.5, 0.5, 7, 6.5));
  // Windows in the shell.
  p.setPen(Qt::NoPen);
  p.setBrush(kGrey80);
  p.drawRect(QRectF(6, 2.5, 1.5, 1.5));
  p.drawRect(QRectF(8.5, 2.5, 1.5, 1.5));
  // A light line on the grip gives it some shape.
  p.setPen(RoundPen(WithAlpha(kWhite, 110), 1.0));
  p.drawLine(QPointF(5.5, 9.5), QPointF(10.5, 9.5));
  return image;
}

// ---- the banners -----------------------------------------------------------

constexpr int kBannerW = 265;
constexpr int kBannerH = 105;
// The graphic sits left, a word right; these split the card.
const QRectF kArt(10, 8, 130, 89);
const QRectF kWordBox(146, 20, 110, 65);

// The card every banner is drawn on: pale blue fading to white with a thin
// grey edge, so the four banners belong together when they rotate.
void Card(QPainter& p) {
  const QRectF card(0.5, 0.5, kBannerW - 1, kBannerH - 1);
  QLinearGradient fill(0, 0, kBannerW, kBannerH);
  fill.setColorAt(0, kPaleBlue);
  fill.setColorAt(1, kWhite);
  p.setPen(QPen(kGrey210, 1.0));
  p.setBrush(fill);
  p.drawRoundedRect(card, 8, 8);
}

// The banners' words, one per banner.
const char* const kWords[4] = {"LoRaWAN", "Gateways", "Secure", "Live log"};

// One short word and an orange underline, centred in the word box. All four
// words share one size, the largest at which every one of them fits, so a
// different sans still lays out cleanly and the banners match as they rotate;
// the picture carries the meaning even if no font is found at all.
void Word(QPainter& p, const QString& word) {
  QFont font("DejaVu Sans");
  font.setBold(true);
  int px = 22;
  for (; px > 10; --px) {
    font.setPixelSize(px);
    const QFontMetrics fm(font);
    bool fits = true;
    for (const char* w : kWords) fits = fits && fm.horizontalAdvance(QString::fromLatin1(w)) <= kWordBox.width();
    if (fits) break;
  }
  font.setPixelSize(px);

  const QFontMetrics fm(font);
  const qreal gap = 8, rule = 3;
  const qreal total = fm.height() + gap + rule;
  qreal y = kWordBox.center().y() - total / 2;

  p.setFont(font);
  p.setPen(kGrey80);
  p.drawText(QRectF(kWordBox.left(), y, kWordBox.width(), fm.height()), Qt::AlignLeft | Qt::AlignVCenter, word);
  y += fm.height() + gap;

  QLinearGradient orange(kWordBox.left(), 0, kWordBox.left() + 34, 0);
  orange.setColorAt(0, kOrangeTop);
  orange.setColorAt(1, kOrangeBottom);
  p.setPen(Qt::NoPen);
  p.setBrush(orange);
  p.drawRoundedRect(QRectF(kWordBox.left() + 1, y, 34, rule), 1.5, 1.5);
}

// Banner 1: a gateway mast sending radio waves both ways.
QImage Banner1() {
  QImage image = NewCanvas(kBannerW, kBannerH);
  QPainter p(&image);
  Smooth(p);
  Card(p);

  const qreal cx = kArt.center().x();
  const QPointF tip(cx, 30);
  const qreal ground = 90;

  // Waves: arcs of growing radius, fading outward, alternating the two
  // palette colours so they do not read as a single blob.
  for (int i = 0; i < 3; ++i) {
    const qreal r = 12 + i * 11;
    const QColor c = WithAlpha(i % 2 == 0 ? kDeepBlue : kOrangeTop, 230 - i * 55);
    p.setPen(RoundPen(c, 3.0));
    p.setBrush(Qt::NoBrush);
    const QRectF arc(tip.x() - r, tip.y() - r, 2 * r, 2 * r);
    p.drawArc(arc, -40 * 16, 80 * 16);         // right
    p.drawArc(arc, 140 * 16, 80 * 16);         // left
  }

  // Ground line.
  p.setPen(RoundPen(kGrey210, 2.0));
  p.drawLine(QPointF(kArt.left() + 8, ground), QPointF(kArt.right() - 8, ground));

  // Mast: a slim lattice tower.
  const qreal halfBase = 13;
  const QPointF l(cx - halfBase, ground), r(cx + halfBase, ground);
  const QPointF top(cx, tip.y() + 6);
  p.setPen(RoundPen(kGrey80, 2.4));
  p.drawLine(l, top);
  p.drawLine(r, top);
  p.setPen(RoundPen(kGrey80, 1.4));
  QPolygonF lattice;
  const int rungs = 4;
  for (int i = 0; i <= rungs; ++i) {
    const qreal t = static_cast<qreal>(i) / rungs;
    const qreal y = ground - t * (ground - top.y()) * 0.85;
    const qreal hw = halfBase * (1 - t * 0.85);
    lattice << QPointF(i % 2 == 0 ? cx - hw : cx + hw, y);
  }
  p.drawPolyline(lattice);
  for (int i = 1; i <= rungs; ++i) {
    const qreal t = static_cast<qreal>(i) / rungs;
    const qreal y = ground - t * (ground - top.y()) * 0.85;
    const qreal hw = halfBase * (1 - t * 0.85);
    p.drawLine(QPointF(cx - hw, y), QPointF(cx + hw, y));
  }

  // Antenna and its tip.
  p.setPen(RoundPen(kGrey80, 2.4));
  p.drawLine(top, tip);
  p.setPen(Qt::NoPen);
  p.setBrush(WithAlpha(kOrangeTop, 80));
  p.drawEllipse(tip, 6, 6);
  p.setBrush(kOrangeBottom);
  p.drawEllipse(tip, 3.4, 3.4);

  Word(p, kWords[0]);
  return image;
}

// Banner 2: end devices on a map grid, each linked to one gateway.
QImage Banner2() {
  QImage image = NewCanvas(kBannerW, kBannerH);
  QPainter p(&image);
  Smooth(p);
  Card(p);

  // The map: a faint grid clipped to a rounded tile.
  const QRectF map = kArt.adjusted(2, 2, -2, -2);
  QPainterPath tile;
  tile.addRoundedRect(map, 6, 6);
  p.setPen(Qt::NoPen);
  p.setBrush(WithAlpha(kLightBlue, 70));
  p.drawPath(tile);
  p.save();
  p.setClipPath(tile);
  p.setPen(QPen(WithAlpha(kDeepBlue, 45), 1.0));
  for (qreal x = map.left() + 13; x < map.right(); x += 16) p.drawLine(QPointF(x, map.top()), QPointF(x, map.bottom()));
  for (qreal y = map.top() + 11; y < map.bottom(); y += 16) p.drawLine(QPointF(map.left(), y), QPointF(map.right(), y));
  // A winding road for a map feel.
  QPainterPath road(QPointF(map.left(), map.bottom() - 18));
  road.cubicTo(QPointF(map.left() + 40, map.bottom() - 40), QPointF(map.left() + 70, map.top() + 55),
               QPointF(map.right(), map.top() + 14));
  p.setPen(RoundPen(WithAlpha(kWhite, 230), 5.0));
  p.setBrush(Qt::NoBrush);
  p.drawPath(road);
  p.restore();

  const QPointF gateway(map.center().x() + 4, map.center().y() + 2);
  const std::vector<QPointF> devices{
      {map.left() + 16, map.top() + 14}, {map.left() + 44, map.top() + 10}, {map.right() - 16, map.top() + 18},
      {map.left() + 13, map.center().y() + 6}, {map.right() - 12, map.center().y() + 12},
      {map.left() + 34, map.bottom() - 12}, {map.right() - 40, map.bottom() - 10},
  };

  // Links: dashed, so they read as radio rather than wires.
  QPen link = RoundPen(WithAlpha(kDeepBlue, 170), 1.4);
  link.setDashPattern({2.5, 2.5});
  p.setPen(link);
  for (const QPointF& d : devices) p.drawLine(d, gateway);

  for (const QPointF& d : devices) {
    p.setPen(QPen(kWhite, 1.6));
    p.setBrush(kDeepBlue);
    p.drawEllipse(d, 4.2, 4.2);
  }

  // The gateway: an orange pin with a white centre.
  p.setPen(Qt::NoPen);
  p.setBrush(WithAlpha(kOrangeTop, 70));
  p.drawEllipse(gateway, 13, 13);
  p.setPen(QPen(kWhite, 2.0));
  p.setBrush(kOrangeBottom);
  p.drawEllipse(gateway, 7.5, 7.5);
  p.setPen(Qt::NoPen);
  p.setBrush(kWhite);
  p.drawEllipse(gateway, 2.6, 2.6);

  Word(p, kWords[1]);
  return image;
}

// Banner 3: a shield with a padlock, for session keys and message integrity.
QImage Banner3() {
  QImage image = NewCanvas(kBannerW, kBannerH);
  QPainter p(&image);
  Smooth(p);
  Card(p);

  const qreal cx = kArt.center().x();
  const qreal top = 12, bottom = 93, half = 32;

  // The shield: flat top, curved sides meeting in a point.
  QPainterPath shield;
  shield.moveTo(cx, top);
  shield.cubicTo(QPointF(cx + 14, top + 8), QPointF(cx + half - 6, top + 8), QPointF(cx + half, top + 6));
  shield.cubicTo(QPointF(cx + half + 1, top + 40), QPointF(cx + 22, bottom - 14), QPointF(cx, bottom));
  shield.cubicTo(QPointF(cx - 22, bottom - 14), QPointF(cx - half - 1, top + 40), QPointF(cx - half, top + 6));
  shield.cubicTo(QPointF(cx - half + 6, top + 8), QPointF(cx - 14, top + 8), QPointF(cx, top));
  shield.closeSubpath();

  QLinearGradient blue(0, top, 0, bottom);
  blue.setColorAt(0, kLightBlue);
  blue.setColorAt(1, kDeepBlue);
  p.setPen(Qt::NoPen);
  p.setBrush(blue);
  p.drawPath(shield);
  // The left half a shade lighter gives the shield a fold down the middle.
  p.save();
  p.setClipRect(QRectF(cx - half - 2, top - 2, half + 2, bottom - top + 4));
  p.setBrush(WithAlpha(kWhite, 55));
  p.drawPath(shield);
  p.restore();

  // The padlock.
  const QRectF body(cx - 13, 49, 26, 21);
  p.setPen(RoundPen(kWhite, 4.0));
  p.setBrush(Qt::NoBrush);
  QPainterPath shackle(QPointF(body.left() + 5, body.top()));
  shackle.lineTo(body.left() + 5, body.top() - 7);
  shackle.arcTo(QRectF(body.left() + 5, body.top() - 15, 16, 16), 180, -180);
  shackle.lineTo(body.right() - 5, body.top());
  p.drawPath(shackle);
  QLinearGradient orange(0, body.top(), 0, body.bottom());
  orange.setColorAt(0, kOrangeTop);
  orange.setColorAt(1, kOrangeBottom);
  p.setPen(QPen(kWhite, 1.5));
  p.setBrush(orange);
  p.drawRoundedRect(body, 3.5, 3.5);
  // Keyhole.
  p.setPen(Qt::NoPen);
  p.setBrush(kWhite);
  p.drawEllipse(QPointF(cx, body.top() + 8), 3, 3);
  p.drawRoundedRect(QRectF(cx - 1.3, body.top() + 9, 2.6, 7), 1.2, 1.2);

  // Key bytes flowing in from either side, fading with distance: a nod to
  // the 128-bit keys the shield guards.
  p.setPen(Qt::NoPen);
  for (int side = -1; side <= 1; side += 2) {
    for (int i = 0; i < 3; ++i) {
      const qreal x = cx + side * (half + 9 + i * 9);
      p.setBrush(WithAlpha(kDeepBlue, 210 - i * 70));
      p.drawRoundedRect(QRectF(x - 3, body.center().y() - 3, 6, 6), 1.5, 1.5);
    }
  }

  Word(p, kWords[2]);
  return image;
}

// Banner 4: signal bars rising, with a live line traced over them.
QImage Banner4() {
  QImage image = NewCanvas(kBannerW, kBannerH);
  QPainter p(&image);
  Smooth(p);
  Card(p);

  const qreal base = 88;
  const qreal left = kArt.left() + 10;
  const std::vector<qreal> heights{22, 34, 28, 46, 40, 58, 66};
  const qreal bw = 11, gap = 5;

  // Baseline and faint guide lines.
  p.setPen(QPen(WithAlpha(kDeepBlue, 40), 1.0));
  for (int i = 1; i <= 3; ++i) p.drawLine(QPointF(left - 4, base - i * 20), QPointF(left + 7 * (bw + gap), base - i * 20));
  p.setPen(RoundPen(kGrey210, 2.0));
  p.drawLine(QPointF(left - 4, base + 1), QPointF(left + 7 * (bw + gap), base + 1));

  std::vector<QPointF> tops;
  for (size_t i = 0; i < heights.size(); ++i) {
    const qreal x = left + static_cast<qreal>(i) * (bw + gap);
    const QRectF bar(x, base - heights[i], bw, heights[i]);
    const bool last = i + 1 == heights.size();
    QLinearGradient g(0, bar.top(), 0, bar.bottom());
    if (last) {
      g.setColorAt(0, kOrangeTop);
      g.setColorAt(1, kOrangeBottom);
    } else {
      g.setColorAt(0, kDeepBlue);
      g.setColorAt(1, kLightBlue);
    }
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    QPainterPath path;
    path.addRoundedRect(bar, 2.5, 2.5);
    p.drawPath(path);
    tops.emplace_back(bar.center().x(), bar.top() - 9);
  }

  // The live line: a smooth curve through points above the bars.
  QPainterPath line(tops.front());
  for (size_t i = 1; i < tops.size(); ++i) {
    const QPointF a = tops[i - 1], b = tops[i];
    const qreal mx = (a.x() + b.x()) / 2;
    line.cubicTo(QPointF(mx, a.y()), QPointF(mx, b.y()), b);
  }
  p.setPen(RoundPen(kGrey80, 2.0));
  p.setBrush(Qt::NoBrush);
  p.drawPath(line);
  for (size_t i = 0; i < tops.size(); ++i) {
    const bool last = i + 1 == tops.size();
    p.setPen(QPen(last ? kOrangeBottom : kGrey80, 1.6));
    p.setBrush(kWhite);
    p.drawEllipse(tops[i], last ? 3.6 : 2.6, last ? 3.6 : 2.6);
  }

  Word(p, kWords[3]);
  return image;
}

struct Picture {
  const char* name;
  std::function<QImage()> draw;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output-dir>\n", argc > 0 ? argv[0] : "quorvex-make-images");
    return 2;
  }
  QGuiApplication app(argc, argv);
  const QString dir = QString::fromLocal8Bit(argv[1]);
  if (!QDir().mkpath(dir)) {
    std::fprintf(stderr, "quorvex-make-images: cannot create folder %s\n", argv[1]);
    return 1;
  }

  const std::vector<Picture> pictures{
      {"arrow.png", Arrow},         {"arrow2.png", Arrow2},       {"arrow4.png", Arrow4},
      {"server.png", Server},       {"usb_small.png", UsbSmall},  {"banner1.png", Banner1},
      {"banner2.png", Banner2},     {"banner3.png", Banner3},     {"banner4.png", Banner4},
  };
  int failures = 0;
  for (const Picture& picture : pictures) {
    const QString path = QDir(dir).filePath(QString::fromLatin1(picture.name));
    const QImage image = picture.draw();
    if (image.isNull() || !image.save(path, "PNG")) {
      std::fprintf(stderr, "quorvex-make-images: cannot write %s\n", qPrintable(QDir::toNativeSeparators(path)));
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}
