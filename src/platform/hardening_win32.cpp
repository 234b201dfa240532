#include <windows.h>

#include "platform/hardening.h"

namespace tarsel::platform {

void harden_process() noexcept {
    // A DLL planted beside the helper or in the current directory would
    // otherwise run as LocalSystem at the next load by name.
    (void)::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

    // Junctions and symbolic links made by a non-administrator are then not
    // followed for this process at all, whatever path they sit on. Systems
    // older than the policy refuse it; the checks on every handle in
    // data_dir still stand there.
    PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY policy{};
    policy.EnforceRedirectionTrust = 1;
    (void)::SetProcessMitigationPolicy(ProcessRedirectionTrustPolicy, &policy, sizeof policy);
}

}  // namespace tarsel::platform
