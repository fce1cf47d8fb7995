// Services on Windows through the service control manager: creating,
// configuring, starting, stopping and deleting them on the manager's side,
// and the dispatcher, control handler and status reports on the service's.
#include "platform/Service.h"

#include <windows.h>

#include <aclapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cwctype>
#include <utility>

#include "platform/win32/Wide.h"

namespace zevra::platform {
namespace {

// The database every service of the local machine lives in.
constexpr wchar_t kServicesDatabase[] = L"ServicesActive";
// How long StopSystemService waits for a service to report itself stopped;
// our own daemon takes well under a second.
constexpr DWORD kStopWaitMilliseconds = 30000;
constexpr DWORD kStopPollMilliseconds = 100;

// A service control manager or service handle, closed on every path.
class ScHandle {
 public:
  explicit ScHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
  ScHandle(ScHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  ScHandle& operator=(ScHandle&&) = delete;
  ScHandle(const ScHandle&) = delete;
  ~ScHandle() {
    if (handle_ != nullptr) {
      // CloseServiceHandle would overwrite the error the caller reports.
      const DWORD saved = ::GetLastError();
      ::CloseServiceHandle(handle_);
      ::SetLastError(saved);
    }
  }
  SC_HANDLE Get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  SC_HANDLE handle_;
};

ScHandle OpenManager(DWORD access) { return ScHandle(::OpenSCManagerW(nullptr, kServicesDatabase, access)); }

ScHandle OpenService(const std::string& name, DWORD managerAccess, DWORD serviceAccess) {
  ScHandle manager = OpenManager(managerAccess);
  if (!manager) return ScHandle();
  return ScHandle(::OpenServiceW(manager.Get(), Utf8ToWide(name).c_str(), serviceAccess));
}

std::string& ServiceProblem() {
  static thread_local std::string problem;
  return problem;
}

// The command line the manager runs. The program's path is quoted: left
// bare, a path with blanks ("C:\Program Files\Zevra\Zevra.exe") is tried
// word by word, and a planted C:\Program.exe would run as the service.
std::wstring BinaryPathOf(const ServiceConfig& config) {
  std::wstring line = L"\"" + Utf8ToWide(config.executable) + L"\"";
  if (!config.arguments.empty()) line += L" " + Utf8ToWide(config.arguments);
  return line;
}

// The service account's SID when it is one of the built-in service
// accounts, which CreateServiceW takes by name and without a password.
bool BuiltInAccountSid(const std::string& account, WELL_KNOWN_SID_TYPE& type) {
  std::string folded = account;
  std::transform(folded.begin(), folded.end(), folded.begin(),
                 [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
  if (folded == "nt authority\\network service") {
    type = WinNetworkServiceSid;
  } else if (folded == "nt authority\\local service") {
    type = WinLocalServiceSid;
  } else if (folded == "localsystem" || folded.empty()) {
    type = WinLocalSystemSid;
  } else {
    return false;
  }
  return true;
}

// Adds an entry to path's access list that lets sid read and write it;
// folders pass it on to everything created below them, with the right to
// delete (spool files and compressed copies are removed and replaced).
// Files get no right to be deleted: the pid file is rewritten in place,
// and the account cannot create files in the program directory.
DWORD GrantWrite(const std::wstring& path, PSID sid, bool folder) {
  PACL current = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD rc = ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                     &current, nullptr, &descriptor);
  if (rc != ERROR_SUCCESS) return rc;
  EXPLICIT_ACCESSW entry = {};
  entry.grfAccessPermissions = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
  if (folder) entry.grfAccessPermissions |= FILE_GENERIC_EXECUTE | DELETE | FILE_DELETE_CHILD;
  entry.grfAccessMode = GRANT_ACCESS;
  entry.grfInheritance = folder ? SUB_CONTAINERS_AND_OBJECTS_INHERIT : NO_INHERITANCE;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  entry.Trustee.ptstrName = static_cast<LPWSTR>(sid);
  PACL updated = nullptr;
  rc = ::SetEntriesInAclW(1, &entry, current, &updated);
  if (rc == ERROR_SUCCESS) {
    rc = ::SetNamedSecurityInfoW(const_cast<LPWSTR>(path.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, updated, nullptr);
    ::LocalFree(updated);
  }
  ::LocalFree(descriptor);
  return rc;
}

// The service account may write what the service writes and nothing more.
// Reading the program, its libraries, settings and sites is left to the
// folder's own access list: below "Program Files" every user may read.
bool GrantWrites(const ServiceConfig& config) {
  WELL_KNOWN_SID_TYPE type;
  if (!BuiltInAccountSid(config.account, type) || type == WinLocalSystemSid) return true;  // nothing to grant
  BYTE sidBuffer[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof sidBuffer;
  if (!::CreateWellKnownSid(type, nullptr, sidBuffer, &sidSize)) return false;
  auto fail = [](const std::string& what, const std::string& path, DWORD rc) {
    ServiceProblem() = "The service account cannot be given the right to " + what + " " + path + ".";
    ::SetLastError(rc);
    return false;
  };
  for (const std::string& path : config.writableFiles) {
    const std::wstring wide = Utf8ToWide(path);
    // Made here when missing: the account cannot create files beside the program.
    HANDLE file = ::CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return fail("write", path, ::GetLastError());
    ::CloseHandle(file);
    if (DWORD rc = GrantWrite(wide, sidBuffer, false); rc != ERROR_SUCCESS) return fail("write", path, rc);
  }
  for (const std::string& path : config.writableDirectories) {
    const std::wstring wide = Utf8ToWide(path);
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    // The server creates none of its folders; a missing one is not made here either.
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
    if (DWORD rc = GrantWrite(wide, sidBuffer, true); rc != ERROR_SUCCESS) return fail("write in", path, rc);
  }
  return true;
}

bool SameFileName(std::wstring a, std::wstring b) {
  auto fold = [](std::wstring& s) {
    for (wchar_t& c : s) c = static_cast<wchar_t>(std::towlower(c));
  };
  fold(a);
  fold(b);
  return a == b;
}

// --- the service process's side ---------------------------------------------

ServiceMainFunction g_serviceMain = nullptr;
ServiceControlHandler g_controlHandler = nullptr;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
std::wstring g_serviceName;

void WINAPI ServiceMainEntry(DWORD, LPWSTR*) {
  if (g_serviceMain != nullptr) g_serviceMain();
}

void WINAPI ControlHandlerEntry(DWORD control) {
  if (g_controlHandler != nullptr) g_controlHandler(static_cast<int>(control));
}

}  // namespace

std::string LastServiceProblem() { return ServiceProblem(); }

bool CreateSystemService(const ServiceConfig& config) {
  ServiceProblem().clear();
  ScHandle manager = OpenManager(SC_MANAGER_CREATE_SERVICE);
  if (!manager) return false;
  // The account's write access first: a service that cannot write its log
  // is not registered at all.
  if (!GrantWrites(config)) return false;
  const std::wstring name = Utf8ToWide(config.name);
  const std::wstring display = Utf8ToWide(config.displayName);
  const std::wstring binary = BinaryPathOf(config);
  const std::wstring account = Utf8ToWide(config.account);
  ScHandle service(::CreateServiceW(manager.Get(), name.c_str(), display.c_str(), SERVICE_ALL_ACCESS,
                                    SERVICE_WIN32_OWN_PROCESS,
                                    config.autoStart ? SERVICE_AUTO_START : SERVICE_DEMAND_START,
                                    SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr, nullptr,
                                    account.empty() ? nullptr : account.c_str(), nullptr));
  if (!service) return false;
  // The description is not part of the creation; its outcome does not
  // decide the installation's.
  std::wstring description = Utf8ToWide(config.description);
  SERVICE_DESCRIPTIONW info = {description.data()};
  ::ChangeServiceConfig2W(service.Get(), SERVICE_CONFIG_DESCRIPTION, &info);
  return true;
}

bool DeleteSystemService(const std::string& name) {
  ScHandle service = OpenService(name, SC_MANAGER_ALL_ACCESS, DELETE);
  return service && ::DeleteService(service.Get());
}

bool SystemServiceExists(const std::string& name) {
  return static_cast<bool>(OpenService(name, SC_MANAGER_CONNECT, SERVICE_QUERY_STATUS));
}

bool OpenSystemService(const std::string& name) {
  return static_cast<bool>(OpenService(name, SC_MANAGER_ALL_ACCESS, SERVICE_ALL_ACCESS));
}

bool StartSystemService(const std::string& name) {
  ScHandle service = OpenService(name, SC_MANAGER_CONNECT, SERVICE_START);
  return service && ::StartServiceW(service.Get(), 0, nullptr);
}

bool StopSystemService(const std::string& name) {
  ScHandle service = OpenService(name, SC_MANAGER_CONNECT, SERVICE_STOP | SERVICE_QUERY_STATUS);
  if (!service) return false;
  SERVICE_STATUS status = {};
  if (!::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status)) {
    // Stopped already: what the caller wants.
    return ::GetLastError() == ERROR_SERVICE_NOT_ACTIVE;
  }
  for (DWORD waited = 0; waited < kStopWaitMilliseconds; waited += kStopPollMilliseconds) {
    if (!::QueryServiceStatus(service.Get(), &status)) return false;
    if (status.dwCurrentState == SERVICE_STOPPED) return true;
    ::Sleep(kStopPollMilliseconds);
  }
  ::SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
  return false;
}

ServiceState QuerySystemServiceState(const std::string& name) {
  ScHandle service = OpenService(name, SC_MANAGER_CONNECT, SERVICE_QUERY_STATUS);
  SERVICE_STATUS status = {};
  if (!service || !::QueryServiceStatus(service.Get(), &status)) return ServiceState::kNotInstalled;
  switch (status.dwCurrentState) {
    case SERVICE_STOPPED:
      return ServiceState::kStopped;
    case SERVICE_START_PENDING:
      return ServiceState::kStartPending;
    case SERVICE_STOP_PENDING:
      return ServiceState::kStopPending;
    default:  // running, and the pause states our service never enters
      return ServiceState::kRunning;
  }
}

bool QuerySystemServiceDescription(const std::string& name, std::string& description) {
  ScHandle service = OpenService(name, SC_MANAGER_CONNECT, SERVICE_QUERY_CONFIG);
  if (!service) return false;
  DWORD needed = 0;
  ::QueryServiceConfig2W(service.Get(), SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
  if (needed == 0) return false;
  // Aligned for the record at its front; the text follows it.
  std::vector<SERVICE_DESCRIPTIONW> buffer(needed / sizeof(SERVICE_DESCRIPTIONW) + 1);
  if (!::QueryServiceConfig2W(service.Get(), SERVICE_CONFIG_DESCRIPTION, reinterpret_cast<BYTE*>(buffer.data()),
                              static_cast<DWORD>(buffer.size() * sizeof(SERVICE_DESCRIPTIONW)), &needed)) {
    return false;
  }
  const wchar_t* text = buffer[0].lpDescription;
  if (text == nullptr || *text == L'\0') return false;
  description = WideToUtf8(text);
  return true;
}

bool RequestSystemServiceStop(const std::string& name) {
  ScHandle service = OpenService(name, SC_MANAGER_CONNECT, SERVICE_STOP);
  SERVICE_STATUS status = {};
  return service && ::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
}

std::vector<uint32_t> SystemServiceProcessIds(const std::string& name) {
  std::vector<uint32_t> ids;
  ScHandle service = OpenService(name, SC_MANAGER_CONNECT, SERVICE_QUERY_STATUS);
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  if (!service || !::QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                          sizeof status, &needed)) {
    return ids;
  }
  if (status.dwProcessId == 0) return ids;
  ids.push_back(status.dwProcessId);
  // The daemon's children: its worker.
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return ids;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
    if (entry.th32ParentProcessID == status.dwProcessId && entry.th32ProcessID != status.dwProcessId) {
      ids.push_back(entry.th32ProcessID);
    }
  }
  ::CloseHandle(snapshot);
  return ids;
}

bool EndProgramRunning(uint32_t pid, const std::string& executable) {
  HANDLE process = ::OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return false;
  // The handle pins the process: the name checked is the name of the one
  // that is ended.
  std::wstring image(32768, L'\0');
  DWORD length = static_cast<DWORD>(image.size());
  bool ended = false;
  DWORD exitCode = 0;
  if (!::GetExitCodeProcess(process, &exitCode) || exitCode != STILL_ACTIVE) {
    // Ended already: its id stays taken only while someone holds a handle.
    ::SetLastError(ERROR_INVALID_PARAMETER);
  } else if (::QueryFullProcessImageNameW(process, 0, image.data(), &length)) {
    image.resize(length);
    if (SameFileName(image, Utf8ToWide(executable))) {
      ended = ::TerminateProcess(process, 1) != 0;
    } else {
      ::SetLastError(ERROR_ACCESS_DENIED);
    }
  }
  const DWORD saved = ::GetLastError();
  ::CloseHandle(process);
  ::SetLastError(saved);
  return ended;
}

bool RunServiceControlDispatcher(const std::string& name, ServiceMainFunction serviceMain) {
  g_serviceMain = serviceMain;
  g_serviceName = Utf8ToWide(name);
  SERVICE_TABLE_ENTRYW table[] = {{g_serviceName.data(), ServiceMainEntry}, {nullptr, nullptr}};
  // Returns once every service of the process reported SERVICE_STOPPED.
  return ::StartServiceCtrlDispatcherW(table) != 0;
}

bool RegisterServiceControlHandler(const std::string& name, ServiceControlHandler handler) {
  g_controlHandler = handler;
  g_statusHandle = ::RegisterServiceCtrlHandlerW(Utf8ToWide(name).c_str(), ControlHandlerEntry);
  return g_statusHandle != nullptr;
}

void ReportServiceStatus(const ServiceStatus& status) {
  if (g_statusHandle == nullptr) return;
  SERVICE_STATUS s = {};
  s.dwServiceType = static_cast<DWORD>(status.serviceType);
  s.dwCurrentState = static_cast<DWORD>(status.currentState);
  s.dwControlsAccepted = static_cast<DWORD>(status.controlsAccepted);
  s.dwWin32ExitCode = static_cast<DWORD>(status.win32ExitCode);
  s.dwServiceSpecificExitCode = static_cast<DWORD>(status.serviceSpecificExitCode);
  ::SetServiceStatus(g_statusHandle, &s);
}

std::string BuiltInServiceAccount() { return "NT AUTHORITY\\NETWORK SERVICE"; }

std::string SharedLibraryFileName(const std::string& name) { return name + ".dll"; }

}  // namespace zevra::platform
