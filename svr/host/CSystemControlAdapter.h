// CSystemControlAdapter: detects the distribution once and owns the matching ISystemControl.
// One adapter per user (the sharing detector, the traffic reporter); one thread at a time.
#pragma once

#include <memory>
#include <string>

#include "ISystemControl.h"

class CSystemControlAdapter {
public:
    typedef enum tag_OPERATON_SYSTEM {
        SYSTEM_UBUNTU = 0,
        SYSTEM_FEDORA = 1,
        SYSTEM_CENT = 2,
        SYSTEM_COMMON = 3,
    } OPERATION_SYSTEM;

    CSystemControlAdapter() : CSystemControlAdapter("/etc/os-release", std::string()) {}
    // Tests name their own os-release file and kernel file tree (see CSystemControl).
    CSystemControlAdapter(std::string osReleasePath, std::string procRoot);
    virtual ~CSystemControlAdapter() = default;

    CSystemControlAdapter(const CSystemControlAdapter&) = delete;
    CSystemControlAdapter& operator=(const CSystemControlAdapter&) = delete;

    // The implementation for this distribution, made on the first call and the same object for
    // the adapter's life. Never null; owned by the adapter.
    ISystemControl* GetSystemControl();
    // Reads os-release again: a line holding "ubuntu", "Fedora" or "CentOS" selects that family,
    // a later match overriding an earlier one; SYSTEM_COMMON when none matches or the file is
    // missing.
    int GetSystem();

private:
    struct Releaser {
        void operator()(ISystemControl* p) const { p->Release(); }
    };

    std::unique_ptr<ISystemControl, Releaser> m_Instance;
    OPERATION_SYSTEM m_OperationSystem = SYSTEM_COMMON;
    std::string m_strOsRelease;
    std::string m_strProcRoot;
};
