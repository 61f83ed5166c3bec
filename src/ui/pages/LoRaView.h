// CLoRaView: the LoRaWAN 1.0.2 page. This first version carries its panels
// and the gateway list, which the main window rebuilds whenever a gateway is
// registered for the first time; applications, devices, downlinks and the
// per-device log come with the edit dialogs.
#pragma once
#include "ui/skin/BaseDialog.h"
#include "ui/skin/CustomListCtrl.h"

namespace quorvex {
class CGateManager;
}

namespace quorvex::ui {

class CLoRaView : public CBaseDialog {
  Q_OBJECT
 public:
  // The registry outlives every window (the application object owns it).
  CLoRaView(CGateManager& gateways, QWidget* parent);

  // Rebuilds the gateway list from the registry, in registry order.
  void RebuildGatewayList();
  CCustomListCtrl* GatewayList() const { return m_Gateways; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  CGateManager& m_GateMgr;
  CCustomListCtrl* m_Gateways;
};

}  // namespace quorvex::ui
