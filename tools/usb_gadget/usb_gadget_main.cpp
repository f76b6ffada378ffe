// nimbra-usb-gadget: runs inside the kernel-test VM as the "IQOS ILUMA i ONE" on a dummy_hcd
// bus. It builds the configfs gadgets, plugs the device in, answers its HID reports through
// the simulator's device logic, and takes commands on a Unix socket until SIGTERM, when it
// unplugs and removes the gadgets.
//
//   nimbra-usb-gadget [--udc dummy_udc.0] [--other-udc dummy_udc.1] [--control PATH]

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include <poll.h>
#include <unistd.h>

#include "gadget_control.h"
#include "gadget_device.h"
#include "gadget_profile.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int) { stopRequested = 1; }

int pollTimeout(const nimbra::gadget::GadgetDevice& device) {
  const auto due = device.nextDue();
  if (!due) return -1;
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(*due - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<long>(0, left.count()));
}

}  // namespace

int main(int argc, char** argv) {
  std::string udc = "dummy_udc.0";
  std::string otherUdc = "dummy_udc.1";
  std::string control = nimbra::gadget::kControlSocket;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--udc")
      udc = argv[i + 1];
    else if (option == "--other-udc")
      otherUdc = argv[i + 1];
    else if (option == "--control")
      control = argv[i + 1];
    else {
      std::fprintf(stderr, "nimbra-usb-gadget: unknown option %s\n", argv[i]);
      return 2;
    }
  }

  auto device = nimbra::gadget::GadgetDevice::create(udc, otherUdc);
  if (!device) {
    std::fprintf(stderr, "nimbra-usb-gadget: %s\n", device.error().message.c_str());
    return 1;
  }
  if (auto plugged = (*device)->plug(); !plugged) {
    std::fprintf(stderr, "nimbra-usb-gadget: %s\n", plugged.error().message.c_str());
    return 1;
  }
  // The socket appears only once the device is plugged in: its existence means "ready".
  auto listener = nimbra::gadget::listenForCommands(control);
  if (!listener) {
    std::fprintf(stderr, "nimbra-usb-gadget: %s\n", listener.error().message.c_str());
    return 1;
  }
  std::signal(SIGTERM, requestStop);
  std::signal(SIGINT, requestStop);
  std::signal(SIGPIPE, SIG_IGN);

  nimbra::gadget::GadgetDevice& gadget = **device;
  while (!stopRequested) {
    pollfd fds[2] = {{*listener, POLLIN, 0}, {gadget.hidgFd(), POLLIN, 0}};
    if (gadget.wantsToWrite()) fds[1].events |= POLLOUT;
    const int ready = ::poll(fds, gadget.hidgFd() >= 0 ? 2 : 1, pollTimeout(gadget));
    if (ready < 0 && errno != EINTR) {
      std::fprintf(stderr, "nimbra-usb-gadget: poll: %s\n", std::strerror(errno));
      break;
    }
    gadget.runDue();
    if (ready <= 0) continue;
    if (fds[1].revents & POLLIN) gadget.onReadable();
    if (gadget.hidgFd() >= 0 && (fds[1].revents & POLLOUT)) gadget.onWritable();
    if (fds[0].revents & POLLIN) {
      nimbra::gadget::serveOneCommand(
          *listener, [&gadget](const std::string& line) { return gadget.command(line); });
    }
  }
  ::close(*listener);
  ::unlink(control.c_str());
  return 0;
}
