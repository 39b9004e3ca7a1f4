// security.cpp - security descriptors, the process token and libraries.
//
// The root is one machine run by one account: descriptors are accepted and carry nothing, and
// the token's user is derived from the machine identity's account name. No state.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/win32/handles.h"
#include "platform/win32/internal.h"
#include "platform/win32/machine.h"
#include "platform/win32/windows.h"

namespace {

// A SID here is this marker followed by its NUL-terminated string form.
constexpr char kSidMarker[8] = {'V', 'T', 'S', 'I', 'D', '1', '\0', '\0'};

std::string SidTextOfAccount(const std::string& account) {
  if (_stricmp(account.c_str(), "SYSTEM") == 0) return "S-1-5-18";
  if (_stricmp(account.c_str(), "LOCAL SERVICE") == 0) return "S-1-5-19";
  if (_stricmp(account.c_str(), "NETWORK SERVICE") == 0) return "S-1-5-20";
  return "S-1-5-21-0-0-0-" + std::to_string(::getuid());
}

}  // namespace

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) {
  if (descriptor == nullptr || revision != SECURITY_DESCRIPTOR_REVISION) {
    return win32internal::Fail(ERROR_INVALID_PARAMETER);
  }
  std::memset(descriptor, 0, sizeof(SECURITY_DESCRIPTOR));
  static_cast<SECURITY_DESCRIPTOR*>(descriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
  return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL dacl_present, PACL dacl,
                               BOOL dacl_defaulted) {
  if (descriptor == nullptr) return win32internal::Fail(ERROR_INVALID_SECURITY_DESCR);
  static_cast<SECURITY_DESCRIPTOR*>(descriptor)->Dacl = dacl_present ? dacl : nullptr;
  return TRUE;
}

BOOL GetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL sacl_present, PACL* sacl,
                               LPBOOL sacl_defaulted) {
  if (descriptor == nullptr || sacl_present == nullptr || sacl == nullptr) {
    return win32internal::Fail(ERROR_INVALID_PARAMETER);
  }
  *sacl = static_cast<SECURITY_DESCRIPTOR*>(descriptor)->Sacl;
  *sacl_present = *sacl != nullptr ? TRUE : FALSE;
  if (sacl_defaulted != nullptr) *sacl_defaulted = FALSE;
  return TRUE;
}

BOOL SetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR descriptor, BOOL sacl_present, PACL sacl,
                               BOOL sacl_defaulted) {
  if (descriptor == nullptr) return win32internal::Fail(ERROR_INVALID_SECURITY_DESCR);
  static_cast<SECURITY_DESCRIPTOR*>(descriptor)->Sacl = sacl_present ? sacl : nullptr;
  return TRUE;
}

BOOL ConvertStringSecurityDescriptorToSecurityDescriptor(LPCSTR text, DWORD revision,
                                                         PSECURITY_DESCRIPTOR* descriptor,
                                                         ULONG* size) {
  if (text == nullptr || *text == '\0' || descriptor == nullptr || revision != SDDL_REVISION_1) {
    return win32internal::Fail(ERROR_INVALID_PARAMETER);
  }
  // One block holds the descriptor and an empty access list that its system list points to,
  // so a caller copying the system list finds one.
  constexpr std::size_t kBytes = sizeof(SECURITY_DESCRIPTOR) + sizeof(ACL);
  auto* block = static_cast<unsigned char*>(LocalAlloc(LPTR, kBytes));
  if (block == nullptr) return FALSE;
  auto* result = reinterpret_cast<SECURITY_DESCRIPTOR*>(block);
  result->Revision = SECURITY_DESCRIPTOR_REVISION;
  auto* list = reinterpret_cast<ACL*>(block + sizeof(SECURITY_DESCRIPTOR));
  list->AclRevision = 2;
  list->AclSize = sizeof(ACL);
  if (std::strncmp(text, "S:", 2) == 0) result->Sacl = list;
  if (std::strncmp(text, "D:", 2) == 0) result->Dacl = list;
  *descriptor = result;
  if (size != nullptr) *size = static_cast<ULONG>(kBytes);
  return TRUE;
}

BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  if (token == nullptr) return win32internal::Fail(ERROR_INVALID_PARAMETER);
  if (process != GetCurrentProcess()) return win32internal::Fail(ERROR_ACCESS_DENIED);
  *token = win32internal::InsertHandle(std::make_shared<win32internal::TokenObject>());
  return TRUE;
}

BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS info_class, LPVOID info,
                         DWORD size, PDWORD size_needed) {
  if (win32internal::LookupHandle<win32internal::TokenObject>(token) == nullptr) {
    return win32internal::Fail(ERROR_INVALID_HANDLE);
  }
  if (info_class != TokenUser || size_needed == nullptr) {
    return win32internal::Fail(ERROR_INVALID_PARAMETER);
  }
  std::string sid = SidTextOfAccount(vtplatform::GetMachineIdentity().account_name);
  auto needed = static_cast<DWORD>(sizeof(TOKEN_USER) + sizeof kSidMarker + sid.size() + 1);
  *size_needed = needed;
  if (info == nullptr || size < needed) return win32internal::Fail(ERROR_INSUFFICIENT_BUFFER);
  auto* user = static_cast<TOKEN_USER*>(info);
  auto* sid_bytes = static_cast<char*>(info) + sizeof(TOKEN_USER);
  std::memcpy(sid_bytes, kSidMarker, sizeof kSidMarker);
  std::memcpy(sid_bytes + sizeof kSidMarker, sid.c_str(), sid.size() + 1);
  user->User.Sid = sid_bytes;
  user->User.Attributes = 0;
  return TRUE;
}

BOOL ConvertSidToStringSid(PSID sid, LPSTR* text) {
  if (sid == nullptr || text == nullptr ||
      std::memcmp(sid, kSidMarker, sizeof kSidMarker) != 0) {
    return win32internal::Fail(ERROR_INVALID_SID);
  }
  const char* form = static_cast<const char*>(sid) + sizeof kSidMarker;
  std::size_t length = std::strlen(form);
  auto* copy = static_cast<char*>(LocalAlloc(LMEM_FIXED, length + 1));
  if (copy == nullptr) return FALSE;
  std::memcpy(copy, form, length + 1);
  *text = copy;
  return TRUE;
}

// No library is loaded at run time here; callers take the "not installed" branch.
HMODULE LoadLibrary(LPCSTR name) {
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

HMODULE GetModuleHandle(LPCSTR name) {
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

BOOL FreeLibrary(HMODULE module) { return win32internal::Fail(ERROR_INVALID_HANDLE); }
