#pragma once

// One USB gadget built through configfs: a HID function with 64-byte numbered reports (report
// ID 0x3F) in one configuration, bound to a UDC of dummy_hcd. With dummy_hcd the host side of
// the same kernel sees the gadget, so binding is a plug-in there (a usb_device and a hidraw
// node appear) and unbinding is an unplug.
// Thread: one thread for everything; the kernel objects are not shared.

#include <cstdint>
#include <memory>
#include <string>

#include "core/error.h"

namespace nimbra::gadget {

struct GadgetIdentity {
  std::string name;  // directory under /sys/kernel/config/usb_gadget
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  std::string product;
  std::string serial;
  std::string manufacturer;
  std::string udc;  // the controller it binds to, e.g. "dummy_udc.0"
};

// The report descriptor: vendor page, 63-byte input and output reports with report ID 0x3F, and
// a 63-byte input report with ID 0x40, so each report is 64 bytes with its ID in byte 0. The
// device sends the parts of a multi-part history reply with byte 0 = 0x40; the kernel's HID
// core drops an input report whose ID the descriptor does not declare, so 0x40 is declared.
std::string hidReportDescriptor();

class ConfigfsGadget {
 public:
  // Builds the gadget's configfs tree, unbound. Needs configfs mounted and libcomposite and
  // usb_f_hid loaded.
  static Result<std::unique_ptr<ConfigfsGadget>> create(GadgetIdentity identity);
  // Unbinds and removes the tree.
  ~ConfigfsGadget();
  ConfigfsGadget(const ConfigfsGadget&) = delete;
  ConfigfsGadget& operator=(const ConfigfsGadget&) = delete;

  Status bind();    // plug in
  Status unbind();  // unplug; nothing to do when not bound
  bool bound() const { return bound_; }
  const GadgetIdentity& identity() const { return identity_; }

  // The gadget side's /dev/hidgN of the HID function, found by its device number. It exists
  // only while the gadget is bound.
  Result<std::string> hidgPath() const;

 private:
  explicit ConfigfsGadget(GadgetIdentity identity);
  Status build();
  void remove();

  GadgetIdentity identity_;
  std::string root_;
  bool bound_ = false;
};

}  // namespace nimbra::gadget
