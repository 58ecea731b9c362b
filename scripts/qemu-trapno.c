/* Preloaded into 32-bit Wine when it runs under user-mode QEMU (kernels without IA32 emulation).
 *
 * QEMU's signal frames for an i386 guest carry no trap number (trapno is -1), and Wine tells an
 * access violation from an illegal instruction, or an integer division by zero from a floating
 * point fault, by that number alone: every access violation would reach the game as
 * 0xC000001D and every stack overflow would go unnoticed. This wraps the fault handlers Wine
 * installs and fills the trap number in from what the signal itself says, the way the kernel
 * would have; where the kernel gave one, nothing changes.
 *
 * QEMU does not run ptrace either, and Wine's server reads and writes another process's memory
 * (ReadProcessMemory, which the crash handler process lives on) only after attaching to it with
 * ptrace. For the server, attaching, detaching and the stop it waits for are answered here, and
 * the word-sized reads and writes go through /proc/PID/mem, which the server uses for larger ones
 * anyway: the threads it reads are suspended by Wine itself.
 *
 * Built twice by scripts/setup: for i386, and as an empty 64-bit library, so that one
 * LD_PRELOAD path with $LIB in it loads quietly into 64-bit programs Wine starts too. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

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

enum { kMaxAttached = 64 };
static pid_t stop_pending[kMaxAttached];

static int proc_mem(pid_t pid, int flags) {
  char path[32];
  snprintf(path, sizeof path, "/proc/%d/mem", (int)pid);
  return open(path, flags | O_CLOEXEC);
}

long ptrace(enum __ptrace_request request, ...) {
  va_list args;
  va_start(args, request);
  const pid_t pid = va_arg(args, pid_t);
  const unsigned long address = (unsigned long)va_arg(args, void*);
  void* data = va_arg(args, void*);
  va_end(args);
  switch ((int)request) {
    case PTRACE_ATTACH:
      for (int i = 0; i < kMaxAttached; ++i) {
        if (stop_pending[i] == 0 || stop_pending[i] == pid) {
          stop_pending[i] = pid;
          return 0;
        }
      }
      errno = EPERM;
      return -1;
    case PTRACE_PEEKDATA:
    case PTRACE_PEEKTEXT: {
      long word = 0;
      const int fd = proc_mem(pid, O_RDONLY);
      const ssize_t got = fd >= 0 ? pread(fd, &word, sizeof word, (off_t)address) : -1;
      if (fd >= 0) close(fd);
      if (got != (ssize_t)sizeof word) {
        errno = EIO;
        return -1;
      }
      errno = 0;
      return word;
    }
    case PTRACE_POKEDATA:
    case PTRACE_POKETEXT: {
      const long word = (long)data;
      const int fd = proc_mem(pid, O_WRONLY);
      const ssize_t put = fd >= 0 ? pwrite(fd, &word, sizeof word, (off_t)address) : -1;
      if (fd >= 0) close(fd);
      if (put != (ssize_t)sizeof word) {
        errno = EIO;
        return -1;
      }
      return 0;
    }
    case PTRACE_PEEKUSER:
      /* The debug registers: none are set under emulation. */
      errno = 0;
      return 0;
    default:
      /* Detach, continue, and setting debug registers: nothing to undo. */
      return 0;
  }
}

/* True, with the status of a stop, when pid was attached here and its stop not yet taken. */
static int take_stop(pid_t pid, int* status) {
  if (pid <= 0) return 0;
  for (int i = 0; i < kMaxAttached; ++i) {
    if (stop_pending[i] == pid) {
      stop_pending[i] = 0;
      if (status != 0) *status = (SIGSTOP << 8) | 0x7f;
      return 1;
    }
  }
  return 0;
}

pid_t waitpid(pid_t pid, int* status, int options) {
  static pid_t (*real_waitpid)(pid_t, int*, int);
  if (take_stop(pid, status)) return pid;
  if (real_waitpid == 0) real_waitpid = (pid_t(*)(pid_t, int*, int))dlsym(RTLD_NEXT, "waitpid");
  return real_waitpid(pid, status, options);
}

pid_t wait4(pid_t pid, int* status, int options, struct rusage* usage) {
  static pid_t (*real_wait4)(pid_t, int*, int, struct rusage*);
  if (take_stop(pid, status)) return pid;
  if (real_wait4 == 0) {
    real_wait4 = (pid_t(*)(pid_t, int*, int, struct rusage*))dlsym(RTLD_NEXT, "wait4");
  }
  return real_wait4(pid, status, options, usage);
}

#endif
