// Hardware faults (access violations, divide errors, in-page errors) turned
// into C++ exceptions of CSEHException, on the threads that ask for it.
//
// The compiler has no per-thread translator hook, so the guard is a
// process-wide vectored handler that acts only on threads inside
// RunWithSehTranslation: it records the fault, abandons the faulting frames
// (their destructors do not run) and throws CSEHException from the guard's
// own frame. Faults on other threads, and stack overflows, go on to the
// unhandled-exception filter as before. Use the guard only around code that
// ends its thread after a caught fault (the update check).
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

// The catch site of a guarded thread body: runs body with translation; a
// fault is traced as "Type=1 File=<base name> Line=<line> ExceptCode=<code>
// Address=<address>", any other exception as "Type=5 File=... Line=...".
// Returns FALSE when something was caught (the caller then ends its
// thread), and the trace line through *trace when asked.
BOOL RunGuardedThreadBody(void (*body)(void*), void* arg, const char* file, int line,
                          std::wstring* trace = nullptr);
