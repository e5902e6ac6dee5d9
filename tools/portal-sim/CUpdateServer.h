// CUpdateServer: answers the package query at "/update" and serves the package files at
// "/pkg/NAME/bin" and "/pkg/NAME/exe", honouring byte ranges so a download can resume.
//
// The files are read once at Load() and served as they are (signed packages, made by the tests or
// by sign-package); the answer lists each package with its size and MD5.
#pragma once

#include <httplib.h>

#include <map>
#include <string>

#include "CFaultInjector.h"
#include "CSimContext.h"

class CUpdateServer {
public:
    CUpdateServer(CSimContext& ctx, CFaultInjector& injector) : m_ctx(ctx), m_injector(injector) {}
    // Reads every package file named in the options; false with a message when one is unreadable.
    bool Load(std::string& error);
    void Register(httplib::Server& server);

    // The query answer ("response/pkgxmls/pkgxml/pkglist/pkg/pfile/binfile|exefile"); every
    // file is listed with its real size, or with listedSize when one is given.
    std::string QueryAnswer(const std::string& listedSize = "") const;

private:
    void Query(const httplib::Request& req, httplib::Response& res);
    void Download(const httplib::Request& req, httplib::Response& res);
    std::string FileEntry(const char* tag, const std::string& name, const char* kind,
                          const std::string& listedSize) const;

    CSimContext& m_ctx;
    CFaultInjector& m_injector;
    std::map<std::string, std::string> m_files;  // "NAME/bin" or "NAME/exe" -> bytes
};
