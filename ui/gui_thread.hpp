// The workers' synchronised calls: a call into the GUI thread that the worker
// waits for, so that what it hands over stays valid until the call returns.
#pragma once

#include <functional>

namespace lk::ui {

// Runs `call` on the GUI thread and returns once it has run; on the GUI
// thread itself it runs at once. The GUI thread never waits for a worker
// without processing events, so the call always gets its turn.
void RunOnGuiThread(const std::function<void()>& call);

// Processes events until `done` answers true, sleeping up to `step_ms`
// between looks: how the GUI thread waits for a worker without blocking the
// worker's synchronised calls. With a timeout (ms, -1 for none), false when
// it passed first.
bool WaitProcessingEvents(const std::function<bool()>& done, int step_ms = 20, int timeout_ms = -1);

}  // namespace lk::ui
