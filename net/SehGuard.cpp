#include "net/SehGuard.h"

#include <psapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "core/Log.h"

CSEHException::CSEHException(unsigned int code, const EXCEPTION_RECORD* record, const CONTEXT* context)
    : m_uCode(code) {
  memset(&m_Record, 0, sizeof m_Record);
  memset(&m_Context, 0, sizeof m_Context);
  if (record) m_Record = *record;
  if (context) m_Context = *context;
}

void SeTranslatorFunc(unsigned int code, EXCEPTION_POINTERS* pointers) {
  throw CSEHException(code, pointers ? pointers->ExceptionRecord : nullptr,
                      pointers ? pointers->ContextRecord : nullptr);
}

namespace {

const int kMaxModules = 256;
const int kMaxHeldLocks = 32;

// The modules of this program (the executable and what was loaded from its
// folder), by their load address.
struct ModuleTable {
  int count;
  void* bases[kMaxModules];
};

// One guarded call on a thread; guards nest through previous.
struct GuardFrame {
  void* jump[5];  // __builtin_setjmp buffer
  GuardFrame* previous;
  DWORD code;
  EXCEPTION_RECORD record;
  CONTEXT context;
  ModuleTable modules;  // taken when the call began; read by the handler
  int heldCount;        // locks taken inside this call and still held
  CRITICAL_SECTION* held[kMaxHeldLocks];
};

volatile DWORD g_slot = TLS_OUT_OF_INDEXES;

// The guard frame of this thread, or NULL; the thread's last error stays.
GuardFrame* CurrentFrame() {
  if (g_slot == TLS_OUT_OF_INDEXES) return nullptr;
  const DWORD error = GetLastError();
  GuardFrame* frame = (GuardFrame*)TlsGetValue(g_slot);
  SetLastError(error);
  return frame;
}

void CollectProgramModules(ModuleTable& table) {
  table.count = 0;
  HMODULE exe = GetModuleHandleW(nullptr);
  wchar_t folder[MAX_PATH] = {};
  DWORD n = GetModuleFileNameW(exe, folder, MAX_PATH);
  size_t folderLength = 0;
  if (n > 0 && n < MAX_PATH) {
    wchar_t* slash = wcsrchr(folder, L'\\');
    if (slash) {
      slash[1] = 0;
      folderLength = wcslen(folder);
    }
  }
  table.bases[table.count++] = exe;
  HMODULE modules[kMaxModules];
  DWORD needed = 0;
  if (!K32EnumProcessModules(GetCurrentProcess(), modules, sizeof modules, &needed)) return;
  const DWORD listed = needed / sizeof(HMODULE) < (DWORD)kMaxModules ? needed / sizeof(HMODULE) : kMaxModules;
  for (DWORD i = 0; i < listed && table.count < kMaxModules; ++i) {
    if (modules[i] == exe || folderLength == 0) continue;
    wchar_t path[MAX_PATH] = {};
    DWORD len = GetModuleFileNameW(modules[i], path, MAX_PATH);
    if (len > folderLength && len < MAX_PATH && _wcsnicmp(path, folder, folderLength) == 0)
      table.bases[table.count++] = modules[i];
  }
}

// The load address of the image that holds address, or NULL. Takes no lock
// (the handler may run while the loader's lock is held elsewhere).
void* ImageBaseOf(const void* address) {
  MEMORY_BASIC_INFORMATION info;
  if (!address || VirtualQuery(address, &info, sizeof info) != sizeof info || info.Type != MEM_IMAGE)
    return nullptr;
  return info.AllocationBase;
}

bool TableHolds(const ModuleTable& table, const void* address) {
  void* base = ImageBaseOf(address);
  if (!base) return false;
  for (int i = 0; i < table.count; ++i)
    if (table.bases[i] == base) return true;
  return false;
}

bool IsTranslatable(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
      return true;
    default:  // stack overflow, C++ exceptions, debugger events and the rest
      return false;
  }
}

__attribute__((noinline, noreturn)) void LandInGuard(GuardFrame* frame) { __builtin_longjmp(frame->jump, 1); }

// Resumes the faulting thread in LandInGuard, on a fresh part of its stack
// below the faulting frame, as if the faulting code had called it.
LONG CALLBACK GuardHandler(EXCEPTION_POINTERS* ep) {
  if (g_slot == TLS_OUT_OF_INDEXES || !ep || !ep->ExceptionRecord || !ep->ContextRecord)
    return EXCEPTION_CONTINUE_SEARCH;
  GuardFrame* frame = CurrentFrame();
  const DWORD code = ep->ExceptionRecord->ExceptionCode;
  if (!frame || !IsTranslatable(code)) return EXCEPTION_CONTINUE_SEARCH;
  // A fault in a system library is that library's own business: many catch
  // their first-chance faults themselves, and they may hold their locks.
  if (!TableHolds(frame->modules, ep->ExceptionRecord->ExceptionAddress)) return EXCEPTION_CONTINUE_SEARCH;
  frame->code = code;
  frame->record = *ep->ExceptionRecord;
  frame->context = *ep->ContextRecord;
  CONTEXT* c = ep->ContextRecord;
#if defined(_WIN64)
  DWORD64 sp = (c->Rsp - 512) & ~(DWORD64)15;
  sp -= 8;  // return-address slot; the callee's home area lies above it
  *(DWORD64*)sp = 0;
  c->Rsp = sp;
  c->Rcx = (DWORD64)frame;
  c->Rip = (DWORD64)&LandInGuard;
#else
  DWORD sp = (c->Esp - 512) & ~(DWORD)15;
  sp -= 4;
  *(DWORD*)sp = (DWORD)frame;  // the argument
  sp -= 4;
  *(DWORD*)sp = 0;  // return address
  c->Esp = sp;
  c->Eip = (DWORD)&LandInGuard;
#endif
  return EXCEPTION_CONTINUE_EXECUTION;
}

BOOL CALLBACK InstallOnce(PINIT_ONCE, PVOID, PVOID*) {
  g_slot = TlsAlloc();
  if (g_slot == TLS_OUT_OF_INDEXES) return FALSE;
  return AddVectoredExceptionHandler(1, GuardHandler) != nullptr;
}

bool EnsureInstalled() {
  static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
  return InitOnceExecuteOnce(&once, InstallOnce, nullptr, nullptr) && g_slot != TLS_OUT_OF_INDEXES;
}

// True when body returned; false when a fault landed back here.
__attribute__((noinline)) bool RunFrame(GuardFrame* frame, void (*body)(void*), void* arg) {
  if (__builtin_setjmp(frame->jump) != 0) return false;
  TlsSetValue(g_slot, frame);
  body(arg);
  return true;
}

const char* BaseName(const char* path) {
  const char* base = path ? path : "";
  for (const char* p = base; *p; ++p)
    if (*p == '\\' || *p == '/') base = p + 1;
  return base;
}

}  // namespace

void RunWithSehTranslation(void (*body)(void*), void* arg) {
  if (!EnsureInstalled()) {
    body(arg);
    return;
  }
  GuardFrame* frame = new GuardFrame;
  memset(frame, 0, sizeof *frame);
  CollectProgramModules(frame->modules);
  frame->previous = (GuardFrame*)TlsGetValue(g_slot);
  bool completed;
  try {
    completed = RunFrame(frame, body, arg);
  } catch (...) {
    TlsSetValue(g_slot, frame->previous);
    delete frame;
    throw;
  }
  TlsSetValue(g_slot, frame->previous);
  if (completed) {
    delete frame;
    return;
  }
  // The abandoned frames release nothing themselves: what they held is left here.
  for (int i = frame->heldCount - 1; i >= 0; --i) LeaveCriticalSection(frame->held[i]);
  CSEHException e(frame->code, &frame->record, &frame->context);
  delete frame;
  throw e;
}

bool IsProgramCodeAddress(const void* address) {
  ModuleTable* table = new ModuleTable;
  CollectProgramModules(*table);
  const bool own = TableHolds(*table, address);
  delete table;
  return own;
}

void EnterGuardedLock(CRITICAL_SECTION* cs) {
  EnterCriticalSection(cs);
  GuardFrame* frame = CurrentFrame();
  if (frame && frame->heldCount < kMaxHeldLocks) frame->held[frame->heldCount++] = cs;
}

void LeaveGuardedLock(CRITICAL_SECTION* cs) {
  GuardFrame* frame = CurrentFrame();
  if (frame) {
    for (int i = frame->heldCount - 1; i >= 0; --i) {
      if (frame->held[i] != cs) continue;
      memmove(&frame->held[i], &frame->held[i + 1], (size_t)(frame->heldCount - 1 - i) * sizeof frame->held[0]);
      --frame->heldCount;
      break;
    }
  }
  LeaveCriticalSection(cs);
}

CGuardedLock::CGuardedLock(CRITICAL_SECTION* cs) : m_cs(cs) { EnterGuardedLock(m_cs); }
CGuardedLock::~CGuardedLock() { LeaveGuardedLock(m_cs); }

BOOL RunGuardedThreadBody(void (*body)(void*), void* arg, const char* file, int line, std::wstring* trace) {
  wchar_t text[512] = {};
  try {
    RunWithSehTranslation(body, arg);
    return TRUE;
  } catch (const CSEHException& e) {
    _snwprintf(text, 511, L"Type=%d File=%S Line=%d ExceptCode=%x Address=%Ix", 1, BaseName(file), line,
               e.GetExceptionCode(), (size_t)e.GetExceptionAddress());
  } catch (...) {
    _snwprintf(text, 511, L"Type=%d File=%S Line=%d", 5, BaseName(file), line);
  }
  text[511] = 0;
  DebugPrint(L"%s", text);
  if (trace) *trace = text;
  return FALSE;
}
