// Faults on a guarded thread become CSEHException and end that thread's
// work quietly; faults anywhere else still reach the unhandled-exception
// filter.
#include <gtest/gtest.h>
#include <windows.h>

#include <stdexcept>
#include <string>

#include "net/SehGuard.h"

namespace {

volatile int* g_null = nullptr;
volatile int g_zero = 0;

void ReadNull(void*) { (void)g_null[4]; }
void DivideByZero(void* out) { *(int*)out = 10 / g_zero; }
void ThrowCpp(void*) { throw std::runtime_error("plain"); }
void Finish(void* out) { *(int*)out = 42; }

struct GuardRun {
  void (*body)(void*);
  int value = 0;
  BOOL result = TRUE;
  std::wstring trace;
  bool caught = false;
  unsigned code = 0;
  ULONG_PTR dataAddress = 1;
  void* faultAddress = nullptr;
};

DWORD WINAPI GuardedThread(void* p) {
  GuardRun* r = (GuardRun*)p;
  r->result = RunGuardedThreadBody(r->body, &r->value, __FILE__, 77, &r->trace);
  return 0;
}

DWORD WINAPI TranslatedThread(void* p) {
  GuardRun* r = (GuardRun*)p;
  try {
    RunWithSehTranslation(r->body, &r->value);
  } catch (const CSEHException& e) {
    r->caught = true;
    r->code = e.GetExceptionCode();
    r->faultAddress = e.GetExceptionAddress();
    if (e.GetExceptionRecord().NumberParameters >= 2)
      r->dataAddress = e.GetExceptionRecord().ExceptionInformation[1];
  }
  return 0;
}

void RunOnThread(LPTHREAD_START_ROUTINE proc, GuardRun& r) {
  HANDLE t = CreateThread(nullptr, 0, proc, &r, 0, nullptr);
  ASSERT_TRUE(t);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 60000));
  CloseHandle(t);
}

TEST(SehGuard, FaultsBecomeExceptionsOnGuardedThreads) {
  GuardRun nullRead;
  nullRead.body = &ReadNull;
  RunOnThread(TranslatedThread, nullRead);
  EXPECT_TRUE(nullRead.caught);
  EXPECT_EQ(0xC0000005u, nullRead.code);
  EXPECT_EQ((ULONG_PTR)(4 * sizeof(int)), nullRead.dataAddress);  // the address read
  EXPECT_NE(nullptr, nullRead.faultAddress);

  GuardRun divide;
  divide.body = &DivideByZero;
  RunOnThread(TranslatedThread, divide);
  EXPECT_TRUE(divide.caught);
  EXPECT_EQ(0xC0000094u, divide.code);

  // The catch site traces and reports; the process goes on.
  GuardRun traced;
  traced.body = &ReadNull;
  RunOnThread(GuardedThread, traced);
  EXPECT_FALSE(traced.result);
  EXPECT_EQ(0u, traced.trace.find(L"Type=1 File=SehGuardTest.cpp Line=77 ExceptCode=c0000005 Address="))
      << std::string(traced.trace.begin(), traced.trace.end());

  GuardRun cpp;
  cpp.body = &ThrowCpp;
  RunOnThread(GuardedThread, cpp);
  EXPECT_FALSE(cpp.result);
  EXPECT_EQ(L"Type=5 File=SehGuardTest.cpp Line=77", cpp.trace);

  GuardRun fine;
  fine.body = &Finish;
  RunOnThread(GuardedThread, fine);
  EXPECT_TRUE(fine.result);
  EXPECT_EQ(42, fine.value);

  // A C++ exception inside a guard passes unchanged, and the guard is gone after it.
  EXPECT_THROW(RunWithSehTranslation(&ThrowCpp, nullptr), std::runtime_error);
}

LONG WINAPI ExitFilter(EXCEPTION_POINTERS*) {
  ExitProcess(77);
  return EXCEPTION_EXECUTE_HANDLER;
}

// Run in a child process by the test below.
TEST(SehGuard, DISABLED_UnguardedFaultReachesTheFilter) {
  SetUnhandledExceptionFilter(&ExitFilter);
  GuardRun warmUp;  // the vectored handler is installed and a guard has come and gone
  warmUp.body = &Finish;
  RunOnThread(GuardedThread, warmUp);
  ReadNull(nullptr);
  ExitProcess(1);
}

TEST(SehGuard, FaultsElsewhereStillReachTheCrashFilter) {
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring cmd =
      std::wstring(L"\"") + exe +
      L"\" --gtest_also_run_disabled_tests --gtest_filter=SehGuard.DISABLED_UnguardedFaultReachesTheFilter";
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  ASSERT_TRUE(CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pi.hProcess, 120000));
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  EXPECT_EQ(77u, code);
}

}  // namespace
