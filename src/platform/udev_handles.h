#pragma once
// libudev's reference-counted objects held by unique_ptr, and its failures as an Error: the one
// place nimbra adapts libudev's conventions. Any thread; each handle belongs to one.
#include <cerrno>
#include <memory>
#include <string>

#include <libudev.h>

#include "core/error.h"

namespace nimbra::Udev {

template <auto unref>
struct Unref {
  template <typename T>
  void operator()(T* object) const {
    unref(object);
  }
};
using UdevHandle = std::unique_ptr<udev, Unref<udev_unref>>;
using MonitorHandle = std::unique_ptr<udev_monitor, Unref<udev_monitor_unref>>;
using EnumerateHandle = std::unique_ptr<udev_enumerate, Unref<udev_enumerate_unref>>;
using DeviceHandle = std::unique_ptr<udev_device, Unref<udev_device_unref>>;

// libudev fails either with a negative errno or with NULL and errno set; both end here.
inline Error error(const char* call, int code) {
  if (code < 0) code = -code;
  if (code == 0) code = EIO;
  return Error::posix(code, std::string("udev ") + call);
}

}  // namespace nimbra::Udev
