#pragma once

#include <memory>

#include "devicelink/hid_backend.h"

// Installs the HID backend that the iq_ functions use from their next scan or open on. An
// already open device keeps the backend that opened it until iq_close. Without a backend the
// scan is empty and every open returns -1. Any thread; normally called once at start-up.
void iq_install_backend(std::shared_ptr<nimbra::HidBackend> backend);
