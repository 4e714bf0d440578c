// The condition; see condition.h.
#include "base/condition.h"

void condition_wait(Condition* c, Lock* lock) {
  c->parked = true;
  lock_release(lock);
  waiter_park(&c->waiter, kNoTimeout, false);
  lock_acquire(lock);
}

void condition_signal(Condition* c) {
  if (!c->parked) return;
  c->parked = false;
  waiter_wake(&c->waiter);
}

void condition_done(Condition* c) { waiter_done(&c->waiter); }
