/* Preloaded into 32-bit Wine when it runs under user-mode QEMU (kernels without IA32 emulation).
 *
 * QEMU's signal frames for an i386 guest carry no trap number (trapno is -1), and Wine tells an
 * access violation from an illegal instruction, or an integer division by zero from a floating
 * point fault, by that number alone: every access violation would reach the game as
 * 0xC000001D and every stack overflow would go unnoticed. This wraps the fault handlers Wine
 * installs and fills the trap number in from what the signal itself says, the way the kernel
 * would have; where the kernel gave one, nothing changes.
 *
 * Built twice by scripts/setup: for i386, and as an empty 64-bit library, so that one
 * LD_PRELOAD path with $LIB in it loads quietly into 64-bit programs Wine starts too. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <ucontext.h>

#if defined(__i386__)

enum { kTrapDivide = 0, kTrapBreakpoint = 3, kTrapOverflow = 4, kTrapInvalidOpcode = 6,
       kTrapProtection = 13, kTrapPageFault = 14, kTrapFloatingPoint = 16, kTrapSingleStep = 1 };

typedef void (*fault_handler)(int, siginfo_t*, void*);
static fault_handler wine_handlers[NSIG];

static int trap_for(int sig, const siginfo_t* info) {
  switch (sig) {
    case SIGSEGV:
      return info->si_code == SI_KERNEL ? kTrapProtection : kTrapPageFault;
    case SIGBUS:
      return kTrapProtection;
    case SIGFPE:
      if (info->si_code == FPE_INTDIV) return kTrapDivide;
      if (info->si_code == FPE_INTOVF) return kTrapOverflow;
      return kTrapFloatingPoint;
    case SIGILL:
      return kTrapInvalidOpcode;
    case SIGTRAP:
      return info->si_code == TRAP_BRKPT || info->si_code == SI_KERNEL ? kTrapBreakpoint
                                                                         : kTrapSingleStep;
    default:
      return -1;
  }
}

static void fill_trap_number(int sig, siginfo_t* info, void* context) {
  ucontext_t* frame = context;
  if (frame->uc_mcontext.gregs[REG_TRAPNO] == -1) {
    frame->uc_mcontext.gregs[REG_TRAPNO] = trap_for(sig, info);
  }
  wine_handlers[sig](sig, info, context);
}

static int is_fault(int sig) {
  return sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE || sig == SIGILL || sig == SIGTRAP;
}

int sigaction(int sig, const struct sigaction* act, struct sigaction* old) {
  static int (*real_sigaction)(int, const struct sigaction*, struct sigaction*);
  if (real_sigaction == 0) {
    real_sigaction = (int (*)(int, const struct sigaction*, struct sigaction*))dlsym(
        RTLD_NEXT, "sigaction");
  }
  if (act != 0 && is_fault(sig) && (act->sa_flags & SA_SIGINFO) != 0 &&
      act->sa_sigaction != fill_trap_number) {
    struct sigaction wrapped = *act;
    wine_handlers[sig] = act->sa_sigaction;
    wrapped.sa_sigaction = fill_trap_number;
    return real_sigaction(sig, &wrapped, old);
  }
  return real_sigaction(sig, act, old);
}

#endif
