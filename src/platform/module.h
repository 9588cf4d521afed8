#pragma once
// Code loaded only when it is needed: a shared library found beside the
// program, whose entry function is looked up by name. Loaded modules stay
// loaded until the process ends.

#include <string>
#include <vector>

namespace vantorel::platform {

// The folder that holds the running program; empty when the system cannot tell.
std::string programFolder();

// Loads the first of the files that exists and loads, and gives the address
// of its function `entry`; nullptr when none does. Never throws.
void* loadModuleEntry(const std::vector<std::string>& files, const char* entry);

}  // namespace vantorel::platform
