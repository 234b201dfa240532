#include <windows.h>

#include <string>

#include "platform/service_query.h"
#include "platform/win32_handles.h"

namespace tarsel::platform {

using win32::UniqueSc;

ServiceQuery query_service_state(std::u16string_view service_name) {
    const std::wstring name(service_name.begin(), service_name.end());
    // Connect and query-status rights are granted to every interactive user,
    // so the client needs no elevation to ask.
    UniqueSc manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return ServiceQuery{ServiceQuery::Outcome::failed, ::GetLastError()};
    }
    UniqueSc service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    if (!service) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            return ServiceQuery{ServiceQuery::Outcome::not_installed, 0};
        }
        return ServiceQuery{ServiceQuery::Outcome::failed, error};
    }
    SERVICE_STATUS status{};
    if (!::QueryServiceStatus(service.get(), &status)) {
        return ServiceQuery{ServiceQuery::Outcome::failed, ::GetLastError()};
    }
    return ServiceQuery{ServiceQuery::Outcome::state, status.dwCurrentState};
}

}  // namespace tarsel::platform
