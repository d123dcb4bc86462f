// The threads that user mode started with um::CreateThread.
#pragma once

namespace sim {

// Waits, for a few seconds at most, until every such thread has ended: a
// machine is torn down only once its processes' threads are gone.
void WaitForUserThreads();

}  // namespace sim
