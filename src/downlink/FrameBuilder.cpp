#include "downlink/FrameBuilder.h"

#include "persistence/DLink.h"
#include "persistence/Device.h"

namespace quorvex {

// Not built yet: no reply is sent.
bool BuildReplyFrame(CQuorvexApp&, CDevice&, const CApplication&) { return false; }

void BuildClassCFrame(CDevice& device, const CDLink&) { device.m_TxLength = 0; }

}  // namespace quorvex
