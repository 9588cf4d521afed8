#pragma once
// Hints to the system about how a large block will be used. Hints only: they
// never change what the block holds, and a system that ignores them is fine.

#include "platform/zeroed_memory.h"

namespace vantorel::platform {

// Asks for the block to be backed by large pages where the system offers them,
// for a block that is about to be written from end to end: one page fault then
// brings in 2 MiB instead of 4 KiB, which makes filling fresh memory several
// times faster. Blocks below 2 MiB are left alone.
void preferLargePages(const ZeroedBlock& block);

}  // namespace vantorel::platform
