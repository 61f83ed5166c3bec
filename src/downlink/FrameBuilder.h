// Data downlink frames: what a class A reply contains (a queued downlink
// request, MAC answers, an ADR request, an acknowledgement) and whether one
// is sent at all, and the class C frame of a queued RX2 request. The frame
// is assembled, encrypted and signed into the device record's m_TxFrame.
#pragma once

namespace quorvex {

class CQuorvexApp;
class CDevice;
class CApplication;
class CDLink;

// Builds the reply to the device's uplink; true when a reply is to be sent
// (m_TxFrame and m_TxLength are then ready).
bool BuildReplyFrame(CQuorvexApp& app, CDevice& device, const CApplication& application);
// Builds the class C frame of an RX2 downlink request into the device.
void BuildClassCFrame(CDevice& device, const CDLink& request);

}  // namespace quorvex
