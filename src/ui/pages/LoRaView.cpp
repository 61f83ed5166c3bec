#include "ui/pages/LoRaView.h"

#include <QPainter>
#include <mutex>

#include "gateway/GateManager.h"
#include "ui/skin/SkinColors.h"
#include "ui/skin/SkinFonts.h"

namespace quorvex::ui {

namespace {
// From the ninth gateway row on, the IP column narrows to make room for the
// scroll bar.
constexpr int kNarrowIpFromRow = 8;
}  // namespace

CLoRaView::CLoRaView(CGateManager& gateways, QWidget* parent)
    : CBaseDialog(parent), m_GateMgr(gateways), m_Gateways(new CCustomListCtrl(1008, this)) {
  m_Gateways->setGeometry(12, 453, 272, 180);
  m_Gateways->m_crOddRow = QColor(240, 240, 240);
  m_Gateways->m_crSelBack = QColor(200, 200, 200);
  m_Gateways->Header()->m_crBack = QColor(230, 230, 230);
  m_Gateways->Header()->m_pFont = &CFontSet::Regular(11);
  m_Gateways->SetMultiSelect(true);
  m_Gateways->InsertColumn(QStringLiteral("Active"), Qt::AlignHCenter, 45);
  m_Gateways->InsertColumn(QStringLiteral("ID"), Qt::AlignHCenter, 120);
  m_Gateways->InsertColumn(QStringLiteral("IP"), Qt::AlignHCenter, 103);
  RebuildGatewayList();
}

void CLoRaView::RebuildGatewayList() {
  m_Gateways->setUpdatesEnabled(false);
  m_Gateways->DeleteAllItems();
  {
    // The receive thread that asked for the rebuild holds no gateway lock.
    std::lock_guard<std::recursive_mutex> lock(m_GateMgr.Mutex());
    for (const auto& gateway : m_GateMgr.m_Gateways) {
      ListRow row;
      row.texts = {gateway->ACTIVE ? QStringLiteral("  ON") : QStringLiteral("  OFF"),
                   QString::fromLatin1(gateway->ID), QString::fromLatin1(gateway->IP)};
      row.colour = 3;
      row.data = gateway->PKEY;
      const int at = m_Gateways->AppendRow(std::move(row));
      m_Gateways->SetColumnWidth(2, at >= kNarrowIpFromRow ? 85 : 103);
    }
  }
  m_Gateways->setUpdatesEnabled(true);
}

void CLoRaView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), skin::kWhite);
  auto title = [&](int x, int y, const QString& text) {
    p.drawImage(QRect(x - 22, y, 25, 23), GetSkinImage("arrow4.png"));
    p.setFont(CFontSet::Bold(14));
    p.setPen(skin::kGrey80);
    p.drawText(QRect(x, y, 190, 23), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
  };
  DrawPanel(p, QRect(QPoint(0, 0), QPoint(294, 399)), skin::kNearWhite);
  DrawPanel(p, QRect(QPoint(305, 0), QPoint(1369, 704)), skin::kNearWhite);
  DrawPanel(p, QRect(QPoint(0, 415), QPoint(294, 704)), skin::kNearWhite);
  DrawPanel(p, QRect(QPoint(558, 45), QPoint(1354, 284)), skin::kWhite);
  title(25, 15, QStringLiteral("Application"));
  title(332, 15, QStringLiteral("Device"));
  title(25, 425, QStringLiteral("Gateway"));
}

}  // namespace quorvex::ui
