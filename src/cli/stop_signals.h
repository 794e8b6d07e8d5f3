#pragma once

// The signals that stop a command's runs: Ctrl-C (SIGINT) and SIGTERM are noted by a handler and
// taken by the command's event loop; a write to a closed pipe fails instead of killing the
// process in the middle of a chunk.
namespace cli {

void watchStopSignals();
// True once for each stop signal received since the last call.
bool takeStopSignal();
// The default handlers again, once the command's runs have ended.
void restoreStopSignals();

} // namespace cli
