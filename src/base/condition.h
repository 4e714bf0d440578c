// A condition one thread waits on under a Lock until another signals it:
// the park and wake of a waiter, with the lock given up while parked.
#pragma once

#include "base/lock.h"
#include "base/parking.h"

struct Condition {
  Waiter waiter;
  bool parked = false;  // guarded by the lock the waits are made under
};

// Called with `lock` held: parks until condition_signal, with the lock
// released meanwhile, and returns with it held again. A caller checks its
// own state again after the wait.
void condition_wait(Condition* c, Lock* lock);
// Called with the same lock held: wakes the parked thread, if one is.
void condition_signal(Condition* c);
// Gives the waiter's event back once no more waits come.
void condition_done(Condition* c);
