#include "app/termination.h"

#include <QTimer>
#include <QWidget>
#include <csignal>

namespace korvid::app {
namespace {

// A signal handler may only set a flag; the window polls it on its own thread.
volatile std::sig_atomic_t terminationRequested = 0;

extern "C" void RequestTermination(int) {
  terminationRequested = 1;
}

}  // namespace

void CloseOnTerminationRequest(QWidget& window) {
  std::signal(SIGTERM, RequestTermination);
  std::signal(SIGINT, RequestTermination);
  auto* poll = new QTimer(&window);
  poll->setInterval(200);
  QObject::connect(poll, &QTimer::timeout, &window, [&window] {
    if (terminationRequested == 0) return;
    terminationRequested = 0;
    window.close();
  });
  poll->start();
}

}  // namespace korvid::app
