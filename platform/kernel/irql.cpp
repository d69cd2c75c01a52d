// Per-thread IRQL. Nothing is masked on the host; the level exists so the
// verifier can enforce the rules that depend on it.
#include "platform/kernel/dispatch_time.h"
#include "platform/kernel/internal.h"

namespace platform::detail {
namespace {
thread_local KIRQL t_irql = PASSIVE_LEVEL;
}

KIRQL CurrentIrql() { return t_irql; }
void SetIrql(KIRQL irql, const void* caller, const char* kind) {
  KIRQL from = t_irql;
  t_irql = irql;
  if ((from >= DISPATCH_LEVEL) != (irql >= DISPATCH_LEVEL)) DispatchLevelChanged(from, irql, caller, kind);
}

void RequireIrqlAtMost(KIRQL max, const void* caller, const char* rule, const char* what) {
  if (t_irql > max) BugCheckAt(caller, rule, "%s at IRQL %u (allowed up to %u)", what, t_irql, max);
}

}  // namespace platform::detail

using namespace platform::detail;

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID) { return CurrentIrql(); }

KIRQL NTAPI KfRaiseIrql(KIRQL NewIrql) {
  KIRQL old = CurrentIrql();
  if (NewIrql < old)
    BugCheckAt(USBAUDIO_CALLER(), "IRQL_RAISE_TO_LOWER", "KeRaiseIrql to %u from %u", NewIrql, old);
  SetIrql(NewIrql, USBAUDIO_CALLER());
  return old;
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
  KIRQL old = CurrentIrql();
  if (NewIrql > old)
    BugCheckAt(USBAUDIO_CALLER(), "IRQL_LOWER_TO_HIGHER", "KeLowerIrql to %u from %u", NewIrql, old);
  SetIrql(NewIrql);
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID) {
  KIRQL old = CurrentIrql();
  if (old > DISPATCH_LEVEL)
    BugCheckAt(USBAUDIO_CALLER(), "IRQL_RAISE_TO_LOWER", "KeRaiseIrqlToDpcLevel from %u", old);
  SetIrql(DISPATCH_LEVEL, USBAUDIO_CALLER());
  return old;
}

KIRQL NTAPI KeRaiseIrqlToSynchLevel(VOID) {
  KIRQL old = CurrentIrql();
  if (old > 12) BugCheckAt(USBAUDIO_CALLER(), "IRQL_RAISE_TO_LOWER", "KeRaiseIrqlToSynchLevel from %u", old);
  SetIrql(12, USBAUDIO_CALLER());
  return old;
}

}  // extern "C"
