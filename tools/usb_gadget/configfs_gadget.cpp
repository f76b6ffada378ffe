#include "configfs_gadget.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace nimbra::gadget {
namespace {

constexpr char kGadgetRoot[] = "/sys/kernel/config/usb_gadget/";
constexpr char kFunction[] = "functions/hid.usb0";
constexpr char kConfig[] = "configs/c.1";
constexpr char kEnglish[] = "strings/0x409";

// configfs takes one write(2) per attribute; a short or failed write is the kernel refusing it.
Status writeAttribute(const std::string& path, const std::string& value) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return Error::posix(errno, "open " + path);
  const ssize_t written = ::write(fd, value.data(), value.size());
  const int error = errno;
  ::close(fd);
  if (written < 0) return Error::posix(error, "write " + path);
  if (static_cast<std::size_t>(written) != value.size()) return Error::posix(EIO, "write " + path);
  return {};
}

Status makeDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    return Error::posix(errno, "mkdir " + path);
  }
  return {};
}

std::string hex4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", value);
  return text;
}

}  // namespace

std::string hidReportDescriptor() {
  static const unsigned char kDescriptor[] = {
      0x06, 0x00, 0xFF,  // usage page: vendor defined 0xFF00
      0x09, 0x01,        // usage 1
      0xA1, 0x01,        // collection: application
      0x85, 0x3F,        //   report ID 0x3F
      0x15, 0x00,        //   logical minimum 0
      0x26, 0xFF, 0x00,  //   logical maximum 255
      0x75, 0x08,        //   report size: 8 bits
      0x95, 0x3F,        //   report count: 63
      0x09, 0x01,        //   usage 1
      0x81, 0x02,        //   input: data, variable, absolute
      0x95, 0x3F,        //   report count: 63
      0x09, 0x01,        //   usage 1
      0x91, 0x02,        //   output: data, variable, absolute
      0x85, 0x40,        //   report ID 0x40: the parts of a multi-part history reply
      0x95, 0x3F,        //   report count: 63
      0x09, 0x01,        //   usage 1
      0x81, 0x02,        //   input: data, variable, absolute
      0xC0,              // end collection
  };
  return std::string(reinterpret_cast<const char*>(kDescriptor), sizeof kDescriptor);
}

ConfigfsGadget::ConfigfsGadget(GadgetIdentity identity)
    : identity_(std::move(identity)), root_(kGadgetRoot + identity_.name + "/") {}

ConfigfsGadget::~ConfigfsGadget() {
  (void)unbind();
  remove();
}

Result<std::unique_ptr<ConfigfsGadget>> ConfigfsGadget::create(GadgetIdentity identity) {
  std::unique_ptr<ConfigfsGadget> gadget(new ConfigfsGadget(std::move(identity)));
  if (Status built = gadget->build(); !built) return built.error();
  return gadget;
}

Status ConfigfsGadget::build() {
  const std::string function = root_ + kFunction + "/";
  const std::string config = root_ + kConfig + "/";
  const std::pair<std::string, std::string> attributes[] = {
      {root_ + "idVendor", hex4(identity_.vendorId)},
      {root_ + "idProduct", hex4(identity_.productId)},
      {root_ + "bcdDevice", "0x0100"},
      {root_ + "bcdUSB", "0x0200"},
      {root_ + kEnglish + "/product", identity_.product},
      {root_ + kEnglish + "/serialnumber", identity_.serial},
      {root_ + kEnglish + "/manufacturer", identity_.manufacturer},
      {function + "protocol", "0"},
      {function + "subclass", "0"},
      {function + "report_length", "64"},
      {function + "report_desc", hidReportDescriptor()},
      {config + "MaxPower", "100"},
  };
  for (const std::string& directory : {root_, root_ + kEnglish, function, config}) {
    if (Status made = makeDirectory(directory); !made) return made;
  }
  for (const auto& [path, value] : attributes) {
    if (Status written = writeAttribute(path, value); !written) return written;
  }
  const std::string link = config + "hid.usb0";
  if (::symlink(function.c_str(), link.c_str()) != 0 && errno != EEXIST) {
    return Error::posix(errno, "symlink " + link);
  }
  return {};
}

// configfs wants the tree taken down in reverse: the link, then the directories inside out.
void ConfigfsGadget::remove() {
  ::unlink((root_ + kConfig + "/hid.usb0").c_str());
  for (const std::string& directory :
       {root_ + kConfig, root_ + kFunction, root_ + kEnglish, root_}) {
    ::rmdir(directory.c_str());
  }
}

Status ConfigfsGadget::bind() {
  if (bound_) return {};
  if (Status written = writeAttribute(root_ + "UDC", identity_.udc); !written) return written;
  bound_ = true;
  return {};
}

Status ConfigfsGadget::unbind() {
  if (!bound_) return {};
  // A lone newline is how configfs is told "no UDC".
  if (Status written = writeAttribute(root_ + "UDC", "\n"); !written) return written;
  bound_ = false;
  return {};
}

Result<std::string> ConfigfsGadget::hidgPath() const {
  std::ifstream file(root_ + kFunction + "/dev");
  unsigned major = 0;
  unsigned minor = 0;
  char colon = 0;
  if (!(file >> major >> colon >> minor) || colon != ':') {
    return Error::posix(ENODEV, "read " + root_ + kFunction + "/dev");
  }
  DIR* dev = ::opendir("/dev");
  if (dev == nullptr) return Error::posix(errno, "opendir /dev");
  std::string found;
  while (const dirent* entry = ::readdir(dev)) {
    const std::string name = entry->d_name;
    if (name.rfind("hidg", 0) != 0) continue;
    struct stat info {};
    const std::string path = "/dev/" + name;
    if (::stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode) &&
        ::major(info.st_rdev) == major && ::minor(info.st_rdev) == minor) {
      found = path;
      break;
    }
  }
  ::closedir(dev);
  if (found.empty()) return Error::posix(ENODEV, "no /dev/hidg node");
  return found;
}

}  // namespace nimbra::gadget
