#include "CProcessEnvironment.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern char** environ;

namespace {

// Families of variables, by prefix: the dynamic loader's, malloc's and the C library's tunables.
const char* const kDroppedPrefixes[] = {"LD_", "MALLOC_", "GLIBC_", "GCONV_"};

// Single variables the C library, the resolver, libcurl, OpenSSL or a shell act on.
const char* const kDroppedNames[] = {
    "LOCPATH",
    "NLSPATH",
    "GETCONF_DIR",
    "HOSTALIASES",
    "LOCALDOMAIN",
    "RES_OPTIONS",
    "RESOLV_HOST_CONF",
    "NIS_PATH",
    "TMPDIR",
    "TZDIR",
    "IFS",
    "ENV",
    "BASH_ENV",
    "CDPATH",
    "SHELLOPTS",
    "PS4",
    "http_proxy",
    "HTTP_PROXY",
    "https_proxy",
    "HTTPS_PROXY",
    "all_proxy",
    "ALL_PROXY",
    "no_proxy",
    "NO_PROXY",
    "ftp_proxy",
    "FTP_PROXY",
    "CURL_HOME",
    "CURL_CA_BUNDLE",
    "CURL_SSL_BACKEND",
    "SSL_CERT_FILE",
    "SSL_CERT_DIR",
    "SSLKEYLOGFILE",
    "OPENSSL_CONF",
    "OPENSSL_ENGINES",
    "OPENSSL_MODULES",
};

}  // namespace

bool CProcessEnvironment::IsDropped(const std::string& name) {
    for (const char* prefix : kDroppedPrefixes) {
        if (name.compare(0, std::strlen(prefix), prefix) == 0)
            return true;
    }
    for (const char* dropped : kDroppedNames) {
        if (name == dropped)
            return true;
    }
    return false;
}

int CProcessEnvironment::Sanitise() {
    // Names first: unsetenv reshapes environ while it is walked.
    std::vector<std::string> names;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        const std::string name =
            equals != nullptr ? std::string(*entry, equals - *entry) : std::string(*entry);
        if (IsDropped(name))
            names.push_back(name);
    }
    int removed = 0;
    for (const std::string& name : names)
        removed += unsetenv(name.c_str()) == 0 ? 1 : 0;
    setenv("PATH", kPath, 1);
    return removed;
}
