#include "base/interrupt.h"

#include "base/run_lock.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>


std::atomic<int> gInterruptSignal{0};

namespace {

std::atomic<bool> deferred{false};
// A fixed buffer: the handler may only read it, not allocate.
char savingTemp[4096];
std::atomic<bool> savingTempSet{false};

void onSignal(int signo) {
  int none = 0;
  if (deferred.load() && gInterruptSignal.compare_exchange_strong(none, signo)) return;
  if (savingTempSet.load()) ::unlink(savingTemp);
  removeHeldRunLockFile();
  // Delivered with the default action once this handler returns.
  ::signal(signo, SIG_DFL);
  ::raise(signo);
}

}  // namespace

void installInterruptHandlers() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  // Reads, writes and waits go on where they were.
  sa.sa_flags = SA_RESTART;
  for (int signo : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signo, &sa, nullptr);
}

void setInterruptDeferred(bool on) { deferred.store(on); }

void setSavingTemp(const char* path) {
  if (path == nullptr || std::strlen(path) >= sizeof savingTemp) {
    savingTempSet.store(false);
    return;
  }
  savingTempSet.store(false);
  std::strcpy(savingTemp, path);
  savingTempSet.store(true);
}
