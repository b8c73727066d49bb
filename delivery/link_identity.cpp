#include "delivery/link_identity.h"

#include <utility>

namespace kestrel {

std::function<ServerHost()> ServerHostFromFolder(FileSystem& files, std::filesystem::path dir) {
  return [&files, dir = std::move(dir)] { return ReadServerHost(files, dir); };
}

}  // namespace kestrel
