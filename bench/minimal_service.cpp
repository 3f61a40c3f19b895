// The least a Windows service can be: it reports RUNNING, waits for Stop and reports
// STOPPED. pipe_roundtrip measures its working set beside the real service's, so that the
// memory every service process carries (and, under Wine, Wine's own) can be told apart.
#include <windows.h>

namespace {

SERVICE_STATUS_HANDLE g_status = nullptr;
HANDLE g_stop = nullptr;

void report(DWORD state) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  SetServiceStatus(g_status, &status);
}

DWORD WINAPI handler(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP) SetEvent(g_stop);
  return control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_INTERROGATE
             ? NO_ERROR
             : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI service_main(DWORD, wchar_t**) {
  g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_status = RegisterServiceCtrlHandlerExW(L"redevuva_service", handler, nullptr);
  report(SERVICE_RUNNING);
  WaitForSingleObject(g_stop, INFINITE);
  report(SERVICE_STOPPED);
}

}  // namespace

int wmain() {
  wchar_t name[] = L"redevuva_service";
  const SERVICE_TABLE_ENTRYW table[] = {{name, service_main}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
