#include "platform/module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <array>

namespace vantorel::platform {

std::string programFolder() {
    std::array<char, 4096> path{};
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (length <= 0) return {};
    std::string folder(path.data(), static_cast<std::size_t>(length));
    const std::size_t slash = folder.rfind('/');
    return slash == std::string::npos ? std::string() : folder.substr(0, slash);
}

void* loadModuleEntry(const std::vector<std::string>& files, const char* entry) {
    for (const std::string& file : files) {
        // Bound now, so that a library that lacks a symbol fails here, not mid-job.
        void* module = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) continue;
        if (void* function = ::dlsym(module, entry)) return function;
        ::dlclose(module);
    }
    return nullptr;
}

}  // namespace vantorel::platform
