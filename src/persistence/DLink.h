// CDLink: a downlink request queued by the operator or an application server.
#pragma once
#include <cstdint>

namespace quorvex {

class CDLink {
 public:
  virtual ~CDLink() = default;

  int32_t PKEY = -1;
  int32_t DEVPKEY = 0;
};

}  // namespace quorvex
