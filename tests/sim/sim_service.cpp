// The service control manager and the service control dispatcher of the simulated machine.
#include "sim/sim_service.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <thread>

#include "sim/sim_internal.h"
#include "sim/sim_time.h"

namespace {

struct Service {
  SimServiceRecord record;
  int queriesSinceStop = 0;
  int queriesSinceStart = 0;
};

struct ServiceHandle {
  std::u16string name;
  DWORD access;
};

struct ServiceState {
  std::vector<std::unique_ptr<Service>> services;
  std::vector<std::unique_ptr<ServiceHandle>> handles;
  std::map<std::u16string, SimServiceScript> scripts;  // by upper-cased name
  bool denied = false;
  // The service process side.
  bool arranged = false;
  std::u16string arrangedName;
  std::u16string tableName;
  LPHANDLER_FUNCTION handler = nullptr;
  std::vector<SimStatusReport> reports;
  std::vector<SimHandlerRegistration> registrations;
  std::vector<SimServiceAccessRequest> requests;
};

ServiceState* state = nullptr;

// The dispatcher's control queue; separate from the machine's lock, which a handler may
// take while a sender waits.
struct ControlQueue {
  std::mutex lock;
  std::condition_variable changed;
  std::deque<DWORD> pending;
  unsigned long sent = 0, handled = 0;
  bool running = false;
  bool serviceEnded = false;
};

ControlQueue queue;

const uintptr_t StatusHandleValue = 0x5E5;

// Access rights of the manager and of services, and how generic rights map onto them.
const DWORD ManagerConnect = 0x0001, ManagerCreateService = 0x0002, ManagerEnumerate = 0x0004,
            ManagerLock = 0x0008, ManagerQueryLockStatus = 0x0010, ManagerModifyBootConfig = 0x0020;
const DWORD ServiceQueryConfig = 0x0001, ServiceChangeConfig = 0x0002, ServiceQueryStatus = 0x0004,
            ServiceEnumerateDependents = 0x0008, ServiceStart = 0x0010, ServiceStop = 0x0020,
            ServicePauseContinue = 0x0040, ServiceInterrogate = 0x0080,
            ServiceUserDefinedControl = 0x0100;
const DWORD Delete = 0x00010000, ReadControl = 0x00020000;
const DWORD GenericRead = 0x80000000u, GenericWrite = 0x40000000, GenericExecute = 0x20000000,
            GenericAll = 0x10000000;
const DWORD ManagerAllAccess = 0xF003F, ServiceAllAccess = 0xF01FF;
// What a user without administrator rights may open the manager with.
const DWORD ManagerUserAccess = ManagerConnect | ManagerEnumerate | ManagerQueryLockStatus | ReadControl;

DWORD MapManagerAccess(DWORD access) {
  DWORD mapped = access & ~(GenericRead | GenericWrite | GenericExecute | GenericAll);
  if (access & GenericRead) mapped |= ReadControl | ManagerEnumerate | ManagerQueryLockStatus;
  if (access & GenericWrite) mapped |= ManagerCreateService | ManagerModifyBootConfig;
  if (access & GenericExecute) mapped |= ManagerConnect | ManagerLock;
  if (access & GenericAll) mapped |= ManagerAllAccess;
  return mapped;
}

DWORD MapServiceAccess(DWORD access) {
  DWORD mapped = access & ~(GenericRead | GenericWrite | GenericExecute | GenericAll);
  if (access & GenericRead) {
    mapped |= ReadControl | ServiceQueryConfig | ServiceQueryStatus | ServiceInterrogate |
              ServiceEnumerateDependents;
  }
  if (access & GenericWrite) mapped |= ServiceChangeConfig;
  if (access & GenericExecute) {
    mapped |= ServiceStart | ServiceStop | ServicePauseContinue | ServiceUserDefinedControl;
  }
  if (access & GenericAll) mapped |= ServiceAllAccess;
  return mapped;
}

void ResetServices() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  delete state;
  state = new ServiceState();
}

SimResetRegistration registration(ResetServices);

std::u16string Key(const std::u16string& name) { return SimUpperAscii(name); }

Service* Find(const std::u16string& name) {
  for (auto& service : state->services) {
    if (SimEqualNoCase(service->record.name, name)) return service.get();
  }
  return nullptr;
}

SimServiceScript ScriptOf(const std::u16string& name) {
  auto it = state->scripts.find(Key(name));
  return it == state->scripts.end() ? SimServiceScript() : it->second;
}

// A service marked for deletion goes once it has stopped and its last handle is closed.
void DeleteIfDue(Service* service) {
  if (!service->record.markedForDelete || service->record.openHandles > 0 ||
      service->record.state != SERVICE_STOPPED) {
    return;
  }
  for (auto it = state->services.begin(); it != state->services.end(); ++it) {
    if (it->get() == service) {
      state->services.erase(it);
      return;
    }
  }
}

void CloseServiceEntry(void* payload) {
  ServiceHandle* handle = static_cast<ServiceHandle*>(payload);
  if (Service* service = Find(handle->name)) {
    --service->record.openHandles;
    DeleteIfDue(service);
  }
  for (auto it = state->handles.begin(); it != state->handles.end(); ++it) {
    if (it->get() == handle) {
      state->handles.erase(it);
      return;
    }
  }
}

SC_HANDLE NewServiceHandle(Service* service, DWORD access) {
  state->handles.push_back(std::unique_ptr<ServiceHandle>(
      new ServiceHandle{service->record.name, MapServiceAccess(access)}));
  ++service->record.openHandles;
  std::string description = "service " + SimUtf8(service->record.name);
  return SimCreateHandle(SimHandleKind::Service, state->handles.back().get(), CloseServiceEntry,
                         true, description.c_str());
}

// The service behind a handle that holds `needed`; null (last error set) for a bad handle,
// a handle without that right or a deleted service.
Service* ServiceOf(SC_HANDLE handle, DWORD needed) {
  ServiceHandle* payload = static_cast<ServiceHandle*>(SimHandlePayload(handle, SimHandleKind::Service));
  if (!payload) {
    SimSetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if ((payload->access & needed) != needed) {
    SimSetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  Service* service = Find(payload->name);
  if (!service) SimSetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
  return service;
}

void FillStatus(const Service& service, LPSERVICE_STATUS status) {
  if (!status) return;
  status->dwServiceType = service.record.type;
  status->dwCurrentState = service.record.state;
  status->dwControlsAccepted =
      service.record.state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  status->dwWin32ExitCode = NO_ERROR;
  status->dwServiceSpecificExitCode = 0;
  status->dwCheckPoint = 0;
  status->dwWaitHint = service.record.state == SERVICE_STOP_PENDING ? 1000 : 0;
}

}  // namespace

// ---- Scripting ----------------------------------------------------------------------------

void SimSetServiceManagerDenied(bool denied) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  state->denied = denied;
}

void SimScriptService(const std::u16string& name, const SimServiceScript& script) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  state->scripts[Key(name)] = script;
}

void SimAddService(const std::u16string& name, const std::u16string& binaryPath, DWORD current) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  std::unique_ptr<Service> service(new Service());
  service->record.exists = true;
  service->record.name = name;
  service->record.displayName = name;
  service->record.binaryPath = binaryPath;
  service->record.type = SERVICE_WIN32_OWN_PROCESS;
  service->record.startType = SERVICE_AUTO_START;
  service->record.errorControl = SERVICE_ERROR_NORMAL;
  service->record.state = current;
  state->services.push_back(std::move(service));
}

SimServiceRecord SimService(const std::u16string& name) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  Service* service = Find(name);
  return service ? service->record : SimServiceRecord();
}

void SimArrangeServiceStart(const std::u16string& name) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  state->arranged = true;
  state->arrangedName = name;
}

bool SimIsServiceProcess() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return state->arranged;
}

std::vector<SimStatusReport> SimStatusReports() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return state->reports;
}

std::vector<SimHandlerRegistration> SimHandlerRegistrations() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return state->registrations;
}

std::vector<SimServiceAccessRequest> SimServiceAccessRequests() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return state->requests;
}

std::u16string SimDispatchTableName() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return state->tableName;
}

bool SimSendControl(DWORD control) {
  {
    std::lock_guard<std::recursive_mutex> guard(SimLock());
    if (!state->handler) return false;
  }
  std::unique_lock<std::mutex> lock(queue.lock);
  if (!queue.running) return false;
  queue.pending.push_back(control);
  unsigned long ticket = ++queue.sent;
  queue.changed.notify_all();
  queue.changed.wait(lock, [ticket] { return queue.handled >= ticket; });
  return true;
}

// ---- The manager --------------------------------------------------------------------------

// The handle's payload is its access; SC_MANAGER_CONNECT comes with every open.
extern "C" SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR, LPCWSTR, DWORD access) {
  if (SimFault("OpenSCManagerW")) return nullptr;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  state->requests.push_back({"OpenSCManagerW", std::u16string(), access});
  DWORD granted = MapManagerAccess(access) | ManagerConnect;
  if (state->denied && (granted & ~ManagerUserAccess) != 0) {
    SimSetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return SimCreateHandle(SimHandleKind::ServiceManager,
                         reinterpret_cast<void*>(static_cast<uintptr_t>(granted)), nullptr, true,
                         "service manager");
}

namespace {

// The access of a live manager handle; false (last error set) for anything else.
bool ManagerAccess(SC_HANDLE manager, DWORD* access) {
  if (!SimHandleIsKind(manager, SimHandleKind::ServiceManager)) {
    SimSetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  *access = static_cast<DWORD>(
      reinterpret_cast<uintptr_t>(SimHandlePayload(manager, SimHandleKind::ServiceManager)));
  return true;
}

}  // namespace

extern "C" SC_HANDLE WINAPI CreateServiceW(SC_HANDLE manager, LPCWSTR name, LPCWSTR displayName,
                                           DWORD access, DWORD type, DWORD startType,
                                           DWORD errorControl, LPCWSTR binaryPath,
                                           LPCWSTR loadOrderGroup, LPDWORD tagId,
                                           LPCWSTR dependencies, LPCWSTR account,
                                           LPCWSTR password) {
  if (SimFault("CreateServiceW")) return nullptr;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  state->requests.push_back({"CreateServiceW", SimText(name), access});
  DWORD managerAccess;
  if (!ManagerAccess(manager, &managerAccess)) return nullptr;
  if (!(managerAccess & ManagerCreateService)) {
    SimSetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (!name || !*name || !binaryPath || !*binaryPath) {
    SimSetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (Service* existing = Find(SimText(name))) {
    SimSetLastError(existing->record.markedForDelete ? ERROR_SERVICE_MARKED_FOR_DELETE
                                                     : ERROR_SERVICE_EXISTS);
    return nullptr;
  }
  std::unique_ptr<Service> service(new Service());
  SimServiceRecord& r = service->record;
  r.exists = true;
  r.name = SimText(name);
  r.displayName = SimText(displayName);
  r.access = access;
  r.type = type;
  r.startType = startType;
  r.errorControl = errorControl;
  r.binaryPath = SimText(binaryPath);
  r.loadOrderGroup = SimText(loadOrderGroup);
  r.tagAsked = tagId != nullptr;
  for (LPCWSTR name = dependencies; name && *name; name += SimText(name).size() + 1) {
    r.dependencies += SimText(name) + u"[~]";
  }
  if (!r.dependencies.empty()) r.dependencies += u"[~]";
  r.account = SimText(account);
  r.passwordGiven = password != nullptr;
  r.state = SERVICE_STOPPED;
  state->services.push_back(std::move(service));
  return NewServiceHandle(state->services.back().get(), access);
}

extern "C" SC_HANDLE WINAPI OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access) {
  if (SimFault("OpenServiceW")) return nullptr;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  state->requests.push_back({"OpenServiceW", SimText(name), access});
  DWORD managerAccess;
  if (!ManagerAccess(manager, &managerAccess)) return nullptr;
  Service* service = name ? Find(SimText(name)) : nullptr;
  if (!service) {
    SimSetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  return NewServiceHandle(service, access);
}

extern "C" BOOL WINAPI StartServiceW(SC_HANDLE handle, DWORD, LPCWSTR*) {
  if (SimFault("StartServiceW")) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  Service* service = ServiceOf(handle, ServiceStart);
  if (!service) return FALSE;
  if (service->record.markedForDelete) {
    SimSetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
    return FALSE;
  }
  if (service->record.state != SERVICE_STOPPED) {
    SimSetLastError(ERROR_SERVICE_ALREADY_RUNNING);
    return FALSE;
  }
  SimServiceScript script = ScriptOf(service->record.name);
  if (script.startError) {
    SimSetLastError(script.startError);
    return FALSE;
  }
  // The manager answers once the process has connected; the service reports RUNNING later.
  service->record.state = SERVICE_START_PENDING;
  service->queriesSinceStart = 0;
  return TRUE;
}

extern "C" BOOL WINAPI ControlService(SC_HANDLE handle, DWORD control, LPSERVICE_STATUS status) {
  if (SimFault("ControlService")) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  DWORD needed = control == SERVICE_CONTROL_STOP          ? ServiceStop
                 : control == SERVICE_CONTROL_INTERROGATE ? ServiceInterrogate
                 : control >= 128                         ? ServiceUserDefinedControl
                                                          : ServicePauseContinue;
  Service* service = ServiceOf(handle, needed);
  if (!service) return FALSE;
  if (service->record.state == SERVICE_STOPPED) {
    SimSetLastError(ERROR_SERVICE_NOT_ACTIVE);
    return FALSE;
  }
  if (control == SERVICE_CONTROL_STOP) {
    if (service->record.state == SERVICE_START_PENDING) {
      SimSetLastError(ScriptOf(service->record.name).startingStopError);
      return FALSE;
    }
    if (service->record.state == SERVICE_STOP_PENDING) {
      SimSetLastError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
      return FALSE;
    }
    service->record.state = SERVICE_STOP_PENDING;
    service->queriesSinceStop = 0;
  } else if (control != SERVICE_CONTROL_INTERROGATE) {
    SimSetLastError(ERROR_INVALID_SERVICE_CONTROL);
    return FALSE;
  }
  FillStatus(*service, status);
  return TRUE;
}

extern "C" BOOL WINAPI QueryServiceStatus(SC_HANDLE handle, LPSERVICE_STATUS status) {
  if (SimFault("QueryServiceStatus")) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  Service* service = ServiceOf(handle, ServiceQueryStatus);
  if (!service) return FALSE;
  SimServiceScript script = ScriptOf(service->record.name);
  if (service->record.state == SERVICE_STOP_PENDING) {
    if (!script.neverStops && service->queriesSinceStop++ >= script.queriesUntilStopped) {
      service->record.state = SERVICE_STOPPED;
    }
  } else if (service->record.state == SERVICE_START_PENDING) {
    if (++service->queriesSinceStart >= script.queriesUntilRunning) service->record.state = SERVICE_RUNNING;
  }
  FillStatus(*service, status);
  return TRUE;
}

extern "C" BOOL WINAPI DeleteService(SC_HANDLE handle) {
  if (SimFault("DeleteService")) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  Service* service = ServiceOf(handle, Delete);
  if (!service) return FALSE;
  if (service->record.markedForDelete) {
    SimSetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
    return FALSE;
  }
  service->record.markedForDelete = true;
  return TRUE;
}

// The description and the recovery actions. A restart among the actions needs the right to
// start the service as well; NULL texts leave what was there.
extern "C" BOOL WINAPI ChangeServiceConfig2W(SC_HANDLE handle, DWORD level, LPVOID info) {
  if (SimFault("ChangeServiceConfig2W")) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  Service* service = ServiceOf(handle, ServiceChangeConfig);
  if (!service) return FALSE;
  if (service->record.markedForDelete) {
    SimSetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
    return FALSE;
  }
  if (!info) return TRUE;  // nothing to change
  if (level == SERVICE_CONFIG_DESCRIPTION) {
    LPWSTR text = static_cast<SERVICE_DESCRIPTIONW*>(info)->lpDescription;
    if (text) service->record.description = SimText(text);
    return TRUE;
  }
  if (level != SERVICE_CONFIG_FAILURE_ACTIONS) {
    SimSetLastError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  const SERVICE_FAILURE_ACTIONSW* failure = static_cast<SERVICE_FAILURE_ACTIONSW*>(info);
  if (failure->cActions && !failure->lpsaActions) {
    SimSetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<std::pair<DWORD, DWORD>> actions;
  for (DWORD i = 0; i < failure->cActions; ++i) {
    const SC_ACTION& action = failure->lpsaActions[i];
    if (action.Type == SC_ACTION_RESTART && !ServiceOf(handle, ServiceStart)) return FALSE;
    actions.push_back({static_cast<DWORD>(action.Type), action.Delay});
  }
  service->record.failureActionsSet = true;
  service->record.failureResetPeriod = failure->dwResetPeriod;
  service->record.failureActions = actions;
  return TRUE;
}

extern "C" BOOL WINAPI CloseServiceHandle(SC_HANDLE handle) {
  if (SimFault("CloseServiceHandle")) return FALSE;
  if (!SimCloseHandleOfKind(handle, SimHandleKind::Service) &&
      !SimCloseHandleOfKind(handle, SimHandleKind::ServiceManager)) {
    SimSetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

// ---- The service process ------------------------------------------------------------------

extern "C" BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table) {
  if (SimFault("StartServiceCtrlDispatcherW")) return FALSE;
  LPSERVICE_MAIN_FUNCTIONW procedure;
  std::u16string name;
  {
    std::lock_guard<std::recursive_mutex> guard(SimLock());
    if (!state->arranged) {
      SimSetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
      return FALSE;
    }
    if (!table || !table[0].lpServiceProc) {
      SimSetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    state->tableName = SimText(table[0].lpServiceName);
    procedure = table[0].lpServiceProc;
    name = state->arrangedName;
  }
  {
    std::lock_guard<std::mutex> lock(queue.lock);
    queue.pending.clear();
    queue.sent = queue.handled = 0;
    queue.running = true;
    queue.serviceEnded = false;
  }
  std::thread serviceThread([procedure, name]() {
    SimSetThreadRole("service");
    std::u16string argument = name;
    LPWSTR arguments[2] = {reinterpret_cast<LPWSTR>(&argument[0]), nullptr};
    procedure(1, arguments);
    std::lock_guard<std::mutex> lock(queue.lock);
    queue.serviceEnded = true;
    queue.changed.notify_all();
  });
  // The calling thread delivers the controls until the service thread has ended.
  std::unique_lock<std::mutex> lock(queue.lock);
  for (;;) {
    queue.changed.wait(lock, [] { return !queue.pending.empty() || queue.serviceEnded; });
    if (queue.pending.empty()) break;
    DWORD control = queue.pending.front();
    queue.pending.pop_front();
    LPHANDLER_FUNCTION handler;
    {
      std::lock_guard<std::recursive_mutex> guard(SimLock());
      handler = state->handler;
    }
    lock.unlock();
    if (handler) handler(control);
    lock.lock();
    ++queue.handled;
    queue.changed.notify_all();
  }
  queue.running = false;
  lock.unlock();
  serviceThread.join();
  return TRUE;
}

extern "C" SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerW(LPCWSTR name,
                                                                   LPHANDLER_FUNCTION handler) {
  if (SimFault("RegisterServiceCtrlHandlerW")) return nullptr;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  state->registrations.push_back({SimText(name), SimThreadRole()});
  if (!state->arranged || !handler) {
    SimSetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // An own-process service's name is not checked: the process serves one service.
  state->handler = handler;
  return reinterpret_cast<SERVICE_STATUS_HANDLE>(StatusHandleValue);
}

extern "C" BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
  if (SimFault("SetServiceStatus")) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  if (reinterpret_cast<uintptr_t>(handle) != StatusHandleValue || !status) {
    SimSetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  state->reports.push_back({*status, SimThreadRole(), SimTickCount()});
  return TRUE;
}
