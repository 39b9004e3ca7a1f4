// stubs.cpp - calls not carried out yet: each fails with ERROR_CALL_NOT_IMPLEMENTED.
#include "platform/win32/internal.h"
#include "platform/win32/windows.h"

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
void win32internal::OnRootChanged() {}
