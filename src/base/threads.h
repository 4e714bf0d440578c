// The thread primitives, one header per concern: parking (waiters and the
// table of pooled events), the lock, the recursive lock, the address locks,
// the condition, ticks and sleep, and the kinds of thread.
#pragma once

#include "base/address_lock.h"
#include "base/condition.h"
#include "base/lock.h"
#include "base/parking.h"
#include "base/recursive_lock.h"
#include "base/thread_kinds.h"
#include "base/ticks.h"
