#include "platform/module.h"

// The Windows build carries no loadable modules: it reads wave files only.
namespace vantorel::platform {

std::string programFolder() { return {}; }

void* loadModuleEntry(const std::vector<std::string>&, const char*) { return nullptr; }

}  // namespace vantorel::platform
