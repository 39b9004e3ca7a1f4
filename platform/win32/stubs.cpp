// stubs.cpp - calls not carried out yet: each fails with ERROR_CALL_NOT_IMPLEMENTED.
#include "platform/win32/internal.h"
#include "platform/win32/windows.h"

DWORD FormatMessage(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id, LPSTR buffer, DWORD size, va_list* arguments) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return nullptr; }
HLOCAL LocalFree(HLOCAL block) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return nullptr; }
HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return nullptr; }
HGLOBAL GlobalFree(HGLOBAL block) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return nullptr; }
HANDLE GetProcessHeap() { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return nullptr; }
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return nullptr; }
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL dacl_present, PACL dacl, BOOL dacl_defaulted) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
BOOL GetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL sacl_present, PACL* sacl, LPBOOL sacl_defaulted) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
BOOL SetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR descriptor, BOOL sacl_present, PACL sacl, BOOL sacl_defaulted) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
BOOL ConvertStringSecurityDescriptorToSecurityDescriptor(LPCSTR text, DWORD revision, PSECURITY_DESCRIPTOR* descriptor, ULONG* size) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
HANDLE GetCurrentProcess() { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return nullptr; }
HANDLE GetCurrentThread() { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return nullptr; }
BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS info_class, LPVOID info, DWORD size, PDWORD size_needed) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
BOOL ConvertSidToStringSid(PSID sid, LPSTR* text) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all, DWORD milliseconds) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
HANDLE CreateMutex(LPSECURITY_ATTRIBUTES attributes, BOOL initial_owner, LPCSTR name) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return nullptr; }
HANDLE OpenMutex(DWORD access, BOOL inherit, LPCSTR name) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return nullptr; }
BOOL ReleaseMutex(HANDLE mutex) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
HANDLE CreateEvent(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state, LPCSTR name) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return nullptr; }
HANDLE OpenEvent(DWORD access, BOOL inherit, LPCSTR name) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return nullptr; }
BOOL SetEvent(HANDLE event) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
BOOL ResetEvent(HANDLE event) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stack_size, LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags, LPDWORD thread_id) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return nullptr; }
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exit_code) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
BOOL TerminateThread(HANDLE thread, DWORD exit_code) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
void ExitThread(DWORD exit_code) {  }
BOOL CreateProcess(LPCSTR application_name, LPSTR command_line, LPSECURITY_ATTRIBUTES process_attributes, LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit_handles, DWORD flags, LPVOID environment, LPCSTR current_directory, LPSTARTUPINFO startup_info, LPPROCESS_INFORMATION process_information) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exit_code) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
BOOL TerminateProcess(HANDLE process, UINT exit_code) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD process_id) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return nullptr; }
void ExitProcess(UINT exit_code) {  }
DWORD GetPrivateProfileString(LPCSTR section, LPCSTR key, LPCSTR default_value, LPSTR buffer, DWORD size, LPCSTR path) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
UINT GetPrivateProfileInt(LPCSTR section, LPCSTR key, INT default_value, LPCSTR path) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
DWORD GetPrivateProfileSection(LPCSTR section, LPSTR buffer, DWORD size, LPCSTR path) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
DWORD GetPrivateProfileSectionNames(LPSTR buffer, DWORD size, LPCSTR path) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
BOOL WritePrivateProfileString(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR path) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
DWORD GetProfileString(LPCSTR section, LPCSTR key, LPCSTR default_value, LPSTR buffer, DWORD size) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
UINT GetProfileInt(LPCSTR section, LPCSTR key, INT default_value) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
BOOL WriteProfileString(LPCSTR section, LPCSTR key, LPCSTR value) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
LONG RegOpenKeyEx(HKEY key, LPCSTR sub_key, DWORD options, REGSAM access, PHKEY result) { return ERROR_CALL_NOT_IMPLEMENTED; }
LONG RegOpenKey(HKEY key, LPCSTR sub_key, PHKEY result) { return ERROR_CALL_NOT_IMPLEMENTED; }
LONG RegCreateKeyEx(HKEY key, LPCSTR sub_key, DWORD reserved, LPSTR key_class, DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES attributes, PHKEY result, LPDWORD disposition) { return ERROR_CALL_NOT_IMPLEMENTED; }
LONG RegCreateKey(HKEY key, LPCSTR sub_key, PHKEY result) { return ERROR_CALL_NOT_IMPLEMENTED; }
LONG RegQueryValueEx(HKEY key, LPCSTR value_name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD data_size) { return ERROR_CALL_NOT_IMPLEMENTED; }
LONG RegSetValueEx(HKEY key, LPCSTR value_name, DWORD reserved, DWORD type, const BYTE* data, DWORD data_size) { return ERROR_CALL_NOT_IMPLEMENTED; }
LONG RegEnumValue(HKEY key, DWORD index, LPSTR value_name, LPDWORD value_name_size, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD data_size) { return ERROR_CALL_NOT_IMPLEMENTED; }
LONG RegEnumKeyEx(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD reserved, LPSTR key_class, LPDWORD class_size, PFILETIME last_write_time) { return ERROR_CALL_NOT_IMPLEMENTED; }
LONG RegQueryInfoKey(HKEY key, LPSTR key_class, LPDWORD class_size, LPDWORD reserved, LPDWORD sub_keys, LPDWORD max_sub_key_len, LPDWORD max_class_len, LPDWORD values, LPDWORD max_value_name_len, LPDWORD max_value_len, LPDWORD security_descriptor_size, PFILETIME last_write_time) { return ERROR_CALL_NOT_IMPLEMENTED; }
LONG RegDeleteValue(HKEY key, LPCSTR value_name) { return ERROR_CALL_NOT_IMPLEMENTED; }
LONG RegDeleteKey(HKEY key, LPCSTR sub_key) { return ERROR_CALL_NOT_IMPLEMENTED; }
LONG RegDeleteTree(HKEY key, LPCSTR sub_key) { return ERROR_CALL_NOT_IMPLEMENTED; }
LONG RegCloseKey(HKEY key) { return ERROR_CALL_NOT_IMPLEMENTED; }
LONG RegFlushKey(HKEY key) { return ERROR_CALL_NOT_IMPLEMENTED; }
BOOL GetVersionEx(LPOSVERSIONINFO info) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
BOOL GetVersionEx(LPOSVERSIONINFOEX info) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
DWORD GetVersion() { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
BOOL GetUserName(LPSTR buffer, LPDWORD size) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
BOOL GetComputerName(LPSTR buffer, LPDWORD size) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
HMODULE LoadLibrary(LPCSTR name) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return nullptr; }
HMODULE GetModuleHandle(LPCSTR name) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return nullptr; }
FARPROC GetProcAddress(HMODULE module, LPCSTR name) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return nullptr; }
BOOL FreeLibrary(HMODULE module) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
void win32internal::OnRootChanged() {}
