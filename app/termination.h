#pragma once

class QWidget;

namespace korvid::app {

// A termination request to the process (SIGTERM, SIGINT: a session that logs out, a service
// manager, Ctrl-C in a terminal) closes `window` as its close box does: a run in progress
// finishes first, then the program ends normally.
void CloseOnTerminationRequest(QWidget& window);

}  // namespace korvid::app
