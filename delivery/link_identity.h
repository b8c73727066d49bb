#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "delivery/server_host.h"

namespace kestrel {

class FileSystem;

// What the handshake tells the server about this station, and where the link
// finds the server.
struct LinkIdentity {
  std::string portNameCp1251;      // the ComPort setting as read at start-up
  std::int32_t firstNumber = 0;    // the FirstNumber setting
  std::function<bool()> portOpen;  // whether the serial port is open now; called on
                                   // the worker thread, so it must be thread-safe
  std::string versionText;         // a.b.c.d (kVersionText)
  // The [ServerHost] section, read afresh before every connection attempt; called
  // on the worker thread. Empty: the defaults.
  std::function<ServerHost()> serverHost;
  // Called on the worker thread at each pass of its loop (at least once a second
  // while it is not inside a step): its sign of life for a watchdog. Must not block.
  std::function<void()> alive = {};
};

// Reads [ServerHost] from the settings file in `dir` through `files` at each call.
// `files` must outlive the function and be usable from the worker thread.
std::function<ServerHost()> ServerHostFromFolder(FileSystem& files, std::filesystem::path dir);

}  // namespace kestrel
