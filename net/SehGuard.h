// Hardware faults (access violations, divide errors, in-page errors) turned
// into C++ exceptions of CSEHException, on the threads that ask for it.
//
// The compiler has no per-thread translator hook, so the guard is a
// process-wide vectored handler that acts only on threads inside
// RunWithSehTranslation, and only on faults in this program's own code (the
// program and the modules in its folder): it records the fault, abandons
// the faulting frames (their destructors do not run) and throws
// CSEHException from the guard's own frame. Faults on other threads, faults
// in system libraries (which often handle their own first-chance faults),
// and stack overflows go on as before, in the end to the unhandled-exception
// filter.
//
// Abandoned frames release nothing, so the locks that guarded code may take
// are CGuardedLock: the guard leaves the ones its abandoned frames held. Do
// not guard code that calls into other modules which call back into ours
// (window procedures, loader callbacks): their locks are not known here. Use
// the guard only around code that ends its thread after a caught fault (the
// update check).
#pragma once
#include <windows.h>

#include <string>

class CSEHException {
 public:
  CSEHException(unsigned int code, const EXCEPTION_RECORD* record, const CONTEXT* context);

  unsigned int GetExceptionCode() const { return m_uCode; }
  const EXCEPTION_RECORD& GetExceptionRecord() const { return m_Record; }
  const CONTEXT& GetContext() const { return m_Context; }
  // Faulting address from the copied record.
  void* GetExceptionAddress() const { return m_Record.ExceptionAddress; }

 private:
  unsigned int m_uCode;
  EXCEPTION_RECORD m_Record;  // the nested-record pointer is not followed
  CONTEXT m_Context;
};

// Builds a CSEHException from the code and the pointers and throws it.
[[noreturn]] void SeTranslatorFunc(unsigned int code, EXCEPTION_POINTERS* pointers);

// Runs body(arg) on this thread; a hardware fault inside it is thrown as
// CSEHException from here. C++ exceptions of body pass unchanged.
void RunWithSehTranslation(void (*body)(void*), void* arg);

// A critical section held for a scope. Taken inside a guarded call, it is
// recorded with that call, and a fault that abandons the holding frames
// leaves it released before CSEHException is thrown.
class CGuardedLock {
 public:
  explicit CGuardedLock(CRITICAL_SECTION* cs);
  ~CGuardedLock();

 private:
  CGuardedLock(const CGuardedLock&);
  CGuardedLock& operator=(const CGuardedLock&);
  CRITICAL_SECTION* m_cs;
};
// The same as calls, for code that cannot hold the lock for a scope.
void EnterGuardedLock(CRITICAL_SECTION* cs);
void LeaveGuardedLock(CRITICAL_SECTION* cs);

// Whether a fault at address lies in this program's own code: the program
// and the modules loaded from its folder (or below).
bool IsProgramCodeAddress(const void* address);

// The catch site of a guarded thread body: runs body with translation; a
// fault is traced as "Type=1 File=<base name> Line=<line> ExceptCode=<code>
// Address=<address>", any other exception as "Type=5 File=... Line=...".
// Returns FALSE when something was caught (the caller then ends its
// thread), and the trace line through *trace when asked.
BOOL RunGuardedThreadBody(void (*body)(void*), void* arg, const char* file, int line,
                          std::wstring* trace = nullptr);
