// Faults on a guarded thread become CSEHException and end that thread's
// work quietly; faults anywhere else still reach the unhandled-exception
// filter.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "net/ReportClient.h"
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

// Runs fn on a thread of its own; false when it did not end within ms
// (the thread is left blocked: a deadlock).
DWORD WINAPI RunFunction(void* p) {
  auto* f = (std::function<void()>*)p;
  (*f)();
  delete f;
  return 0;
}

bool EndsWithin(DWORD ms, std::function<void()> fn) {
  auto* copy = new std::function<void()>(std::move(fn));
  HANDLE t = CreateThread(nullptr, 0, RunFunction, copy, 0, nullptr);
  if (!t) return false;
  const bool ended = WaitForSingleObject(t, ms) == WAIT_OBJECT_0;
  CloseHandle(t);
  return ended;
}

CRITICAL_SECTION g_cs;

void FaultHoldingLocks(void*) {
  CGuardedLock outer(&g_cs);
  CGuardedLock inner(&g_cs);  // taken twice: left twice
  (void)g_null[1];
}

void TakeAndLeave(void* out) {
  { CGuardedLock lock(&g_cs); }
  *(int*)out = 1;
}

// A system library that meets a fault and handles it itself: IsBadReadPtr
// reads the address under its own handler.
void AskTheSystem(void* out) { *(int*)out = IsBadReadPtr((const void*)(ULONG_PTR)16, 4) ? 2 : 3; }

int NullEncrypt(const uint8_t*, uint32_t, uint8_t**, uint32_t*, const char*) { return g_null[2]; }

struct ReportRun {
  CReportClient* client;
};
void SendWithFaultingEncryption(void* p) { ((ReportRun*)p)->client->SendAction(3, false); }

TEST(SehGuard, LocksTakenInsideAreReleasedAfterAFault) {
  InitializeCriticalSection(&g_cs);
  GuardRun held;
  held.body = &FaultHoldingLocks;
  RunOnThread(TranslatedThread, held);
  EXPECT_TRUE(held.caught);
  // Another thread takes the lock: it was left by the guard.
  EXPECT_TRUE(EndsWithin(20000, [] {
    EnterCriticalSection(&g_cs);
    LeaveCriticalSection(&g_cs);
  }));
  // Locks taken and left inside a guard that ends normally stay balanced.
  GuardRun balanced;
  balanced.body = &TakeAndLeave;
  RunOnThread(TranslatedThread, balanced);
  EXPECT_FALSE(balanced.caught);
  EXPECT_EQ(1, balanced.value);
  EXPECT_TRUE(TryEnterCriticalSection(&g_cs));
  LeaveCriticalSection(&g_cs);
}

// The report client faults while it builds a report under its lock (as the
// update check's action report would): the check's thread catches it, and
// the window's thread can still queue and count its events.
TEST(SehGuard, ReportClientKeepsWorkingAfterAFaultUnderItsLock) {
  CReportClient client;
  client.SetServer(L"127.0.0.1:9");
  client.SetEncryptHook(&NullEncrypt);
  ReportRun run = {&client};
  GuardRun r;
  struct Arg {
    GuardRun* r;
    ReportRun* run;
  } arg = {&r, &run};
  struct Thread {
    static DWORD WINAPI Run(void* p) {
      Arg* a = (Arg*)p;
      try {
        RunWithSehTranslation(&SendWithFaultingEncryption, a->run);
      } catch (const CSEHException& e) {
        a->r->caught = true;
        a->r->code = e.GetExceptionCode();
      }
      return 0;
    }
  };
  HANDLE t = CreateThread(nullptr, 0, Thread::Run, &arg, 0, nullptr);
  ASSERT_TRUE(t);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 60000));
  CloseHandle(t);
  EXPECT_TRUE(r.caught);
  EXPECT_EQ(0xC0000005u, r.code);
  client.SetEncryptHook(nullptr);
  size_t count = 0;
  EXPECT_TRUE(EndsWithin(20000, [&] {
    client.AddEvent(L"OnStopScan");
    count = client.GetEventCount();
  }));
  EXPECT_EQ(1u, count);
}

TEST(SehGuard, OnlyFaultsInTheProgramsOwnCodeAreTaken) {
  EXPECT_TRUE(IsProgramCodeAddress((const void*)&ReadNull));
  EXPECT_FALSE(IsProgramCodeAddress((const void*)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "Sleep")));
  EXPECT_FALSE(IsProgramCodeAddress(nullptr));
  // The system's own fault stays the system's: IsBadReadPtr answers.
  GuardRun system;
  system.body = &AskTheSystem;
  RunOnThread(TranslatedThread, system);
  EXPECT_FALSE(system.caught);
  EXPECT_EQ(2, system.value);
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
